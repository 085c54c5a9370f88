# Quorvel codec preset
[preset]
name=480i_ps_ntsc_mpeg2_medium
container=mpeg

[video]
codec=mpeg2video
profile=main
level=main
width=720
height=480
framerate=30000/1001
scan=tff
bitrate=10000000
maxrate=10000000
bufsize=5000000
gop=15

[audio]
codec=mp2
rate=48000
channels=2
bitrate=224000
