# Quorvel codec preset
[preset]
name=720p_pal_mpeg2_low
container=mpegts

[video]
codec=mpeg2video
profile=main
level=high
width=1280
height=720
framerate=50/1
scan=progressive
bitrate=18000000
maxrate=18000000
bufsize=9000000
gop=25

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
