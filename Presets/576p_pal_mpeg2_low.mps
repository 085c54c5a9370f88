# Quorvel codec preset
[preset]
name=576p_pal_mpeg2_low
container=mpegts

[video]
codec=mpeg2video
profile=main
level=main
width=720
height=576
framerate=25/1
scan=progressive
bitrate=18000000
maxrate=18000000
bufsize=9000000
gop=12

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
