# Quorvel codec preset
[preset]
name=480p_ntsc_mpeg2_low
container=mpegts

[video]
codec=mpeg2video
profile=main
level=main
width=720
height=480
framerate=30000/1001
scan=progressive
bitrate=18000000
maxrate=18000000
bufsize=9000000
gop=15

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
