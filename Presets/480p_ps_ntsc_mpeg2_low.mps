# Quorvel codec preset
[preset]
name=480p_ps_ntsc_mpeg2_low
container=mpeg

[video]
codec=mpeg2video
profile=main
level=main
width=720
height=480
framerate=30000/1001
scan=progressive
bitrate=6000000
maxrate=6000000
bufsize=3000000
gop=15

[audio]
codec=mp2
rate=48000
channels=2
bitrate=224000
