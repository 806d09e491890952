# vantrel_compile_schema(<output-dir> <sources-variable> [<headers-variable>])
# Adds the commands that compile the eight schema files into C++ sources in <output-dir> and sets
# <sources-variable> to the generated .pb.cc files (and <headers-variable> to the .pb.h files). Every generated class and table is marked
# VANTREL_API, and each header includes VantrelExport.h, which defines it. Custom commands serve
# only targets of the directory that adds them, so each directory that compiles the schema into a
# target of its own calls this.
function(vantrel_compile_schema output_dir sources_variable)
  file(MAKE_DIRECTORY ${output_dir})
  set(sources)
  set(headers)
  foreach(proto ${VANTREL_PROTO_FILES})
    get_filename_component(name ${proto} NAME_WE)
    set(cc ${output_dir}/${name}.pb.cc)
    set(h ${output_dir}/${name}.pb.h)
    add_custom_command(
      OUTPUT ${cc} ${h}
      COMMAND protobuf::protoc --proto_path=${PROJECT_SOURCE_DIR}/src/proto
              --cpp_out=dllexport_decl=VANTREL_API:${output_dir} ${proto}
      COMMAND ${CMAKE_COMMAND} -DHEADER=${h} -P ${PROJECT_SOURCE_DIR}/cmake/IncludeExportHeader.cmake
      DEPENDS ${proto} protobuf::protoc ${PROJECT_SOURCE_DIR}/cmake/IncludeExportHeader.cmake
      COMMENT "Compiling schema ${name}.proto"
      VERBATIM)
    list(APPEND sources ${cc})
    list(APPEND headers ${h})
  endforeach()
  set(${sources_variable} ${sources} PARENT_SCOPE)
  if(ARGC GREATER 2)
    set(${ARGV2} ${headers} PARENT_SCOPE)
  endif()
endfunction()
