# Quorvel codec preset
[preset]
name=1080i_pal_mpeg2_low
container=mpegts

[video]
codec=mpeg2video
profile=main
level=high
width=1920
height=1080
framerate=25/1
scan=tff
bitrate=18000000
maxrate=18000000
bufsize=9000000
gop=12

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
