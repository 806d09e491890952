# Turns the top-level imports between the generated Python message files ("import vectors_pb2 as
# vectors__pb2") into imports relative to their own package.
# Usage: cmake -DFILE=<name_pb2.py> -P RelativeProtoImports.cmake
if(NOT FILE)
  message(FATAL_ERROR "RelativeProtoImports.cmake needs -DFILE=<generated Python file>")
endif()
file(READ "${FILE}" content)
string(REGEX REPLACE "\nimport ([A-Za-z0-9_]+_pb2) as " "\nfrom . import \\1 as " content "${content}")
file(WRITE "${FILE}" "${content}")
