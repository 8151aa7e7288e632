# The message table: src/resources/messages.txt is its one source. The host
# program mkmsgtable turns it into
#   messages.bin       the resource bytes (TAVELOCAM.dll's resource 11/1)
#   message_table.cpp  the same bytes embedded in libtavelocam.so (POSIX)
#   message_names.h    TAVELO_MESSAGE(code, name) rows for the tests
# in <build>/src/resources. The interface target tavelo_message_table carries
# the paths (TAVELO_MESSAGE_BLOB, TAVELO_MESSAGES_TXT properties and compile
# definitions) and the dependency on the generation step.

set(TAVELO_RESOURCES_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TAVELO_RESOURCES_BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/resources)
set(TAVELO_MESSAGES_TXT ${TAVELO_RESOURCES_SOURCE_DIR}/messages.txt)
set(TAVELO_MESSAGE_BLOB ${TAVELO_RESOURCES_BINARY_DIR}/messages.bin)
file(MAKE_DIRECTORY ${TAVELO_RESOURCES_BINARY_DIR})

if(CMAKE_CROSSCOMPILING)
  # Built with the host's default compiler: no toolchain file is passed on.
  include(ExternalProject)
  set(mkmsgtable_dir ${CMAKE_BINARY_DIR}/host-tools/mkmsgtable)
  set(mkmsgtable ${mkmsgtable_dir}/mkmsgtable${CMAKE_HOST_EXECUTABLE_SUFFIX})
  ExternalProject_Add(tavelo_mkmsgtable_host
    SOURCE_DIR ${TAVELO_RESOURCES_SOURCE_DIR}/generator
    BINARY_DIR ${mkmsgtable_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${mkmsgtable})
  set(mkmsgtable_depends tavelo_mkmsgtable_host ${mkmsgtable})
else()
  add_executable(tavelo_mkmsgtable ${TAVELO_RESOURCES_SOURCE_DIR}/generator/mkmsgtable.cpp)
  set_target_properties(tavelo_mkmsgtable PROPERTIES OUTPUT_NAME mkmsgtable
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/host-tools)
  set(mkmsgtable $<TARGET_FILE:tavelo_mkmsgtable>)
  set(mkmsgtable_depends tavelo_mkmsgtable)
endif()

add_custom_command(
  OUTPUT ${TAVELO_MESSAGE_BLOB}
         ${TAVELO_RESOURCES_BINARY_DIR}/message_table.cpp
         ${TAVELO_RESOURCES_BINARY_DIR}/message_names.h
  COMMAND ${mkmsgtable} --input ${TAVELO_MESSAGES_TXT}
          --blob ${TAVELO_MESSAGE_BLOB}
          --source ${TAVELO_RESOURCES_BINARY_DIR}/message_table.cpp
          --names ${TAVELO_RESOURCES_BINARY_DIR}/message_names.h
  DEPENDS ${TAVELO_MESSAGES_TXT} ${mkmsgtable_depends}
  COMMENT "Generating the message table from messages.txt"
  VERBATIM)
add_custom_target(tavelo_message_table_files
  DEPENDS ${TAVELO_MESSAGE_BLOB} ${TAVELO_RESOURCES_BINARY_DIR}/message_names.h)

add_library(tavelo_message_table INTERFACE)
add_dependencies(tavelo_message_table tavelo_message_table_files)
target_include_directories(tavelo_message_table INTERFACE ${TAVELO_RESOURCES_BINARY_DIR})
target_compile_definitions(tavelo_message_table INTERFACE
  TAVELO_MESSAGE_BLOB="${TAVELO_MESSAGE_BLOB}" TAVELO_MESSAGES_TXT="${TAVELO_MESSAGES_TXT}")
set_target_properties(tavelo_message_table PROPERTIES
  TAVELO_MESSAGE_BLOB ${TAVELO_MESSAGE_BLOB} TAVELO_MESSAGES_TXT ${TAVELO_MESSAGES_TXT})

# POSIX: the shared object carries the bytes itself. Windows: windows/ puts
# messages.bin into the DLL's resources.
if(NOT WIN32)
  target_sources(tavelocam_obj PRIVATE ${TAVELO_RESOURCES_BINARY_DIR}/message_table.cpp)
endif()
