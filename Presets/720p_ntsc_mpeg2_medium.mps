# Quorvel codec preset
[preset]
name=720p_ntsc_mpeg2_medium
container=mpegts

[video]
codec=mpeg2video
profile=main
level=high
width=1280
height=720
framerate=60000/1001
scan=progressive
bitrate=30000000
maxrate=30000000
bufsize=9781248
gop=30

[audio]
codec=ac3
rate=48000
channels=2
bitrate=192000
