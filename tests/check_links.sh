#!/usr/bin/env bash
# Fails when a binary links an FFmpeg or SDL library: they are bound at run time only.
status=0
for f in "$@"; do
  if hits=$(ldd "$f" | grep -E 'lib(avcodec|avformat|avutil|avfilter|avdevice|swscale|swresample|postproc)|SDL'); then
    echo "$f links: $hits"
    status=1
  fi
done
[ $status -eq 0 ] && echo "no media libraries linked in $# binaries"
exit $status
