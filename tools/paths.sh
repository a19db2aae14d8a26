# Where the project's interpreters live; sourced by the bootstrap, tools/python
# and the Makefile, so that each path has one home.
cache="${HOME}/.cache/marovenda"
prefix="$cache/python3.13t"
py="$prefix/bin/python3.13t"
tsan_prefix="$cache/python3.13t-tsan"
tsan_py="$tsan_prefix/bin/python3.13t"
