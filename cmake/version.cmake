# The project version reaches the code through orv_version.h (ORV_VERSION) and,
# on Windows, every executable through a VERSIONINFO resource built from one
# template, beside the application manifest that every executable carries.
set(ORV_COMPANY "Orvendel")
set(ORV_PRODUCT_NAME "Orvendel native messaging host")
set(ORV_COPYRIGHT "Copyright (C) 2026 Orvendel")

set(ORV_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/version.h.in ${ORV_GENERATED_DIR}/orv_version.h @ONLY)
# For the scripts that package a build.
file(WRITE ${CMAKE_BINARY_DIR}/version.txt "${PROJECT_VERSION}\n")
add_library(orv_version INTERFACE)
target_include_directories(orv_version INTERFACE ${ORV_GENERATED_DIR})

# What each shipped program says it is; the others are test and build tools.
set(ORV_DESCRIPTION_orvendel_host "Orvendel native messaging host for Chrome and Edge")
set(ORV_DESCRIPTION_orvendel-log "Orvendel debug log reader")
set(ORV_DESCRIPTION_orvendel-agent "Orvendel DRM agent simulator")
set(ORV_DESCRIPTION_orvendel-tap "Orvendel native messaging traffic tap")
set(ORV_DESCRIPTION_orvendel-doctor "Orvendel installation checker")

# Gives every executable target below dir a version resource and the manifest.
set(ORV_MANIFEST_RC ${CMAKE_SOURCE_DIR}/packaging/windows/manifest.rc)
function(orv_windows_resources dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "EXECUTABLE")
      continue()
    endif()
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
      set(name ${target})
    endif()
    set(ORV_RC_NAME ${name})
    if(DEFINED ORV_DESCRIPTION_${name})
      set(ORV_RC_DESCRIPTION "${ORV_DESCRIPTION_${name}}")
    else()
      set(ORV_RC_DESCRIPTION "Orvendel test and build tool ${name}")
    endif()
    configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/version.rc.in ${ORV_GENERATED_DIR}/${name}.rc @ONLY)
    target_sources(${target} PRIVATE ${ORV_GENERATED_DIR}/${name}.rc ${ORV_MANIFEST_RC})
    # windres reports no dependencies: the manifest is one.
    set_property(SOURCE ${ORV_MANIFEST_RC} TARGET_DIRECTORY ${target} PROPERTY OBJECT_DEPENDS
                 ${CMAKE_SOURCE_DIR}/packaging/windows/program.manifest)
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    orv_windows_resources(${sub})
  endforeach()
endfunction()
