# Quorvel codec preset
[preset]
name=576i_ps_pal_mpeg2_medium
container=mpeg

[video]
codec=mpeg2video
profile=main
level=main
width=720
height=576
framerate=25/1
scan=tff
bitrate=10000000
maxrate=10000000
bufsize=5000000
gop=12

[audio]
codec=mp2
rate=48000
channels=2
bitrate=224000
