# tavelo serve: its sources, the page embedded as a generated source, and
# cpp-httplib (Debian builds it as a shared library; its pkg-config file
# gives the matching compile definitions).
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

set(serve_dir ${CMAKE_CURRENT_LIST_DIR})
set(page_files
  "/|text/html|${serve_dir}/page/index.html"
  "/app.css|text/css|${serve_dir}/page/app.css"
  "/app.js|text/javascript|${serve_dir}/page/app.js"
  "/icon.svg|image/svg+xml|${serve_dir}/page/icon.svg")
set(page_sources)
foreach(entry ${page_files})
  string(REGEX REPLACE ".*\\|" "" file "${entry}")
  list(APPEND page_sources ${file})
endforeach()
string(REPLACE ";" "," page_list "${page_files}")
set(page_cpp ${CMAKE_CURRENT_BINARY_DIR}/serve_page.cpp)
add_custom_command(OUTPUT ${page_cpp}
  COMMAND ${CMAKE_COMMAND} "-DFILES=${page_list}" -DOUTPUT=${page_cpp} -P ${serve_dir}/embed.cmake
  DEPENDS ${page_sources} ${serve_dir}/embed.cmake
  COMMENT "Embedding the serve page" VERBATIM)

target_sources(tavelo PRIVATE ${serve_dir}/serve.cpp ${serve_dir}/hub.cpp ${page_cpp})
target_include_directories(tavelo PRIVATE ${serve_dir})
target_link_libraries(tavelo PRIVATE PkgConfig::HTTPLIB)
