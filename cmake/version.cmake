# The build's version, from git describe: the program logs it at start and
# the Debian package carries it.
#
# Included: ombrix_version(DESCRIBE_VAR DEBIAN_VAR) sets both.
# As a script (cmake -DSOURCE_DIR=... -DOUTPUT=... -P version.cmake): writes
# OUTPUT defining kBuildVersion, touching it only when the text changes, so a
# build after a commit relinks the program and nothing else.

function(ombrix_version describe_var debian_var)
  set(dir ${CMAKE_SOURCE_DIR})
  if(SOURCE_DIR)
    set(dir ${SOURCE_DIR})
  endif()
  find_package(Git QUIET)
  set(describe "")
  set(hash "")
  set(count "0")
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --dirty
                    WORKING_DIRECTORY ${dir} OUTPUT_VARIABLE describe
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty
                    WORKING_DIRECTORY ${dir} OUTPUT_VARIABLE hash
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
                    WORKING_DIRECTORY ${dir} OUTPUT_VARIABLE count
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  # A Debian version must begin with a digit and has no '-' (no Debian
  # revision): tag v1.2 with 3 commits after it is 1.2+3.gHASH; without a
  # tag, 0.0+gitCOUNT.gHASH.
  if(describe MATCHES "^v?([0-9][^-]*)(-([0-9]+)-g([0-9a-f]+))?(-dirty)?$")
    set(debian "${CMAKE_MATCH_1}")
    if(CMAKE_MATCH_2)
      string(APPEND debian "+${CMAKE_MATCH_3}.g${CMAKE_MATCH_4}")
    endif()
  elseif(describe STREQUAL "" AND hash MATCHES "^([0-9a-f]+)(-dirty)?$")
    set(describe "${hash}")
    set(debian "0.0+git${count}.g${CMAKE_MATCH_1}")
  else()
    if(describe STREQUAL "")
      set(describe "unknown")
    endif()
    set(debian "0.0")
  endif()
  if(describe MATCHES "-dirty$")
    string(APPEND debian "+dirty")
  endif()
  set(${describe_var} "${describe}" PARENT_SCOPE)
  set(${debian_var} "${debian}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND OUTPUT)
  ombrix_version(describe debian)
  set(text "// Written by cmake/version.cmake at build time.\nextern const char kBuildVersion[];\nconst char kBuildVersion[] = \"${describe}\";\n")
  set(old "")
  if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${OUTPUT} "${text}")
  endif()
endif()
