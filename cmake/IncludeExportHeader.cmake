# Makes a generated message header self-contained: protoc marks every class and table of the header
# with VANTREL_API (dllexport_decl) but does not include its definition, so the line that includes
# VantrelExport.h goes in at the header's insertion point for includes. The library and every user,
# whether they build with CMake or pkg-config, then see the same definition with no extra flags.
# Usage: cmake -DHEADER=<file.pb.h> -P IncludeExportHeader.cmake
if(NOT HEADER)
  message(FATAL_ERROR "IncludeExportHeader.cmake needs -DHEADER=<generated header>")
endif()

set(marker "// @@protoc_insertion_point(includes)\n")
set(include_line "#include \"VantrelExport.h\"\n")
file(READ "${HEADER}" content)
string(FIND "${content}" "${include_line}" already)
if(already GREATER -1)
  return()
endif()
string(FIND "${content}" "${marker}" position)
if(position EQUAL -1)
  message(FATAL_ERROR "${HEADER} has no insertion point for includes; protoc's output has changed")
endif()
string(REPLACE "${marker}" "${include_line}${marker}" content "${content}")
file(WRITE "${HEADER}" "${content}")
