# The libraries of a cross build for Windows: the host's header-only CLI11, nlohmann/json and fmt,
# and GoogleTest built from its Debian sources. Only those three header folders are exposed:
# adding the host's /usr/include would pull glibc headers into a mingw build.
set(kelvaro_host_headers ${PROJECT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${kelvaro_host_headers})
foreach(dir CLI nlohmann fmt)
  if(NOT EXISTS ${kelvaro_host_headers}/${dir})
    file(CREATE_LINK /usr/include/${dir} ${kelvaro_host_headers}/${dir} SYMBOLIC)
  endif()
endforeach()

add_library(kelvaro_cli11 INTERFACE)
target_include_directories(kelvaro_cli11 SYSTEM INTERFACE ${kelvaro_host_headers})
add_library(CLI11::CLI11 ALIAS kelvaro_cli11)

add_library(kelvaro_json INTERFACE)
target_include_directories(kelvaro_json SYSTEM INTERFACE ${kelvaro_host_headers})
add_library(nlohmann_json::nlohmann_json ALIAS kelvaro_json)

add_library(kelvaro_fmt INTERFACE)
target_include_directories(kelvaro_fmt SYSTEM INTERFACE ${kelvaro_host_headers})
target_compile_definitions(kelvaro_fmt INTERFACE FMT_HEADER_ONLY)

if(KELVARO_BUILD_TESTS)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Defines GTest::gtest_main as find_package(GTest) does natively.
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# The tests start the program and read their data by paths compiled in; under Wine those must
# be Windows paths, which reach the host's root through drive Z:.
function(kelvaro_emulated_path out path)
  if(KELVARO_WINE AND path MATCHES "^/")
    set(path "Z:${path}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
