# Quorvel codec preset
[preset]
name=720p_pal_h264_medium
container=mpegts

[video]
codec=h264
profile=high
level=4.1
width=1280
height=720
framerate=50/1
scan=progressive
bitrate=15000000
maxrate=15000000
bufsize=7500000
gop=25

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
