#!/bin/bash
# Scripted client of the stand-in: runs ./plink -ssh USER@127.0.0.1 and feeds
# it one step after another, each "SECONDS:TEXT" (TEXT with the escapes \r,
# \n). Prints the client's output and, last, "rc=STATUS".
# usage: drive.sh USER STEP...
user=$1
shift
{
  for step in "$@"; do
    sleep "${step%%:*}"
    printf '%b' "${step#*:}"
  done
} | ./plink -ssh "$user@127.0.0.1" 2>&1
echo "rc=${PIPESTATUS[1]}"
