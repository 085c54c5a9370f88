# Quorvel codec preset
[preset]
name=1080p_5994_h264_high3
container=mpegts

[video]
codec=h264
profile=high
level=4.2
width=1920
height=1080
framerate=60000/1001
scan=progressive
bitrate=35000000
maxrate=35000000
bufsize=17500000
gop=30

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
