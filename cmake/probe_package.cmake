# sorvane_package_configures(PACKAGE TARGET OUT): sets OUT to TRUE when
# find_package(PACKAGE CONFIG) succeeds and defines TARGET in a throwaway
# project of its own. A package config file that raises a fatal error (one
# that names a file another package ships, say) then fails only that child
# configure, never this build.
function(sorvane_package_configures package target out)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/probe-${package}")
  file(MAKE_DIRECTORY "${dir}")
  file(WRITE "${dir}/CMakeLists.txt"
       "cmake_minimum_required(VERSION 3.15)\n"
       "project(probe LANGUAGES CXX)\n"
       "find_package(${package} CONFIG REQUIRED)\n"
       "if(NOT TARGET ${target})\n  message(FATAL_ERROR \"no ${target}\")\nendif()\n")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${dir}" -B "${dir}/build"
            "-DCMAKE_PREFIX_PATH=${CMAKE_PREFIX_PATH}"
            "-DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}"
    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(rc EQUAL 0)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()
