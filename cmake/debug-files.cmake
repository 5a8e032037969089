# The shipped Windows programs leave their debug information (DWARF and the
# symbol table) in NAME.exe.debug beside them and keep a .gnu_debuglink to it:
# name and CRC-32, by which gdb finds the file and knows it for this build.
# What ships is the stripped program; the .debug files go into the symbols
# archive (packaging/windows/pack-symbols.sh). The split runs right after the
# link, so that signing, which comes later, signs the program as it ships.
# Call it in the folder that defines the targets.
#
# It also gives them the commit's time as their PE time stamp, so that two
# builds of one commit are the same bytes; without git, 0. ld and objcopy
# both write the field, from SOURCE_DATE_EPOCH, else the time they run. Only
# the shipped programs: they relink when the commit changes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ORV_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE ORV_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT ORV_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(ORV_SOURCE_DATE_EPOCH 0)
endif()
function(orv_split_debug)
  if(NOT WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    return()
  endif()
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "no objcopy for ${CMAKE_CXX_COMPILER}: the shipped programs cannot be stripped")
  endif()
  foreach(target IN LISTS ARGN)
    get_target_property(dir ${target} RUNTIME_OUTPUT_DIRECTORY)
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
      set(name ${target})
    endif()
    set(exe ${dir}/${name}${CMAKE_EXECUTABLE_SUFFIX})
    set(stamp ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ORV_SOURCE_DATE_EPOCH})
    set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER ${stamp})
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${stamp} ${CMAKE_OBJCOPY} --only-keep-debug ${exe} ${exe}.debug
      COMMAND ${stamp} ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${exe}.debug ${exe}
      BYPRODUCTS ${exe}.debug
      VERBATIM)
  endforeach()
endfunction()
