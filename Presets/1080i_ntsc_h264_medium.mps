# Quorvel codec preset
[preset]
name=1080i_ntsc_h264_medium
container=mpegts

[video]
codec=h264
profile=high
level=4.1
width=1920
height=1080
framerate=30000/1001
scan=tff
bitrate=15000000
maxrate=15000000
bufsize=7500000
gop=15

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
