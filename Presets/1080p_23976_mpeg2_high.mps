# Quorvel codec preset
[preset]
name=1080p_23976_mpeg2_high
container=mpegts

[video]
codec=mpeg2video
profile=main
level=high
width=1920
height=1080
framerate=24000/1001
scan=progressive
bitrate=38000000
maxrate=38000000
bufsize=9781248
gop=12

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
