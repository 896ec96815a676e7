#!/usr/bin/env bash
# Prints "yes" when this machine can mount a FUSE file system, else why not.
if [[ ! -e /dev/fuse ]]; then echo "no /dev/fuse on this machine"; exit 0; fi
if [[ ! -r /dev/fuse || ! -w /dev/fuse ]]; then echo "no permission to use /dev/fuse"; exit 0; fi
command -v fusermount3 >/dev/null || { echo "fusermount3 is not installed"; exit 0; }
echo yes
