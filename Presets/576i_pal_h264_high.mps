# Quorvel codec preset
[preset]
name=576i_pal_h264_high
container=mpegts

[video]
codec=h264
profile=high
level=3.2
width=720
height=576
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
