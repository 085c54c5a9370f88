# Quorvel codec preset
[preset]
name=1080p_pal_mpeg2_medium
container=mpegts

[video]
codec=mpeg2video
profile=main
level=high
width=1920
height=1080
framerate=25/1
scan=progressive
bitrate=30000000
maxrate=30000000
bufsize=9781248
gop=12

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
