# Quorvel codec preset
[preset]
name=720p_ntsc_h264_low
container=mpegts

[video]
codec=h264
profile=high
level=4.2
width=1280
height=720
framerate=60000/1001
scan=progressive
bitrate=10000000
maxrate=10000000
bufsize=5000000
gop=30

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
