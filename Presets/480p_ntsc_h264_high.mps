# Quorvel codec preset
[preset]
name=480p_ntsc_h264_high
container=mpegts

[video]
codec=h264
profile=high
level=3.2
width=720
height=480
framerate=30000/1001
scan=progressive
bitrate=25000000
maxrate=25000000
bufsize=12500000
gop=15

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
