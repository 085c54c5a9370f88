# Quorvel codec preset
[preset]
name=1080i_pal_h264_high
container=mpegts

[video]
codec=h264
profile=high
level=4.1
width=1920
height=1080
framerate=25/1
scan=tff
bitrate=25000000
maxrate=25000000
bufsize=12500000
gop=12

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
