# Quorvel codec preset
[preset]
name=1080i_ntsc_mpeg2_high
container=mpegts

[video]
codec=mpeg2video
profile=main
level=high
width=1920
height=1080
framerate=30000/1001
scan=tff
bitrate=38000000
maxrate=38000000
bufsize=9781248
gop=15

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
