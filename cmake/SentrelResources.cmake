# Windows resources of the executables, from one place: version information (from the project
# version), the application manifest and the product's icons, drawn at build time by
# resources/make_icons.py.
#
#   sentrel_add_resources(<target> DESCRIPTION <text> [ICONS <resource id>...] [DLL])
#
# A DLL gets the version information only (no application manifest: the process's own applies).
#
# Icon 1 is the product's (white key), icon 200 the authentication dialog's (gold key).

set(SENTREL_COMPANY "Sentrel" CACHE STRING "CompanyName of the version resources")
set(SENTREL_COPYRIGHT "Copyright (C) 2025 Sentrel" CACHE STRING "LegalCopyright of the version resources")
# The fourth version field: a build number given by the release build (0 for developer builds).
set(SENTREL_BUILD_NUMBER 0 CACHE STRING "Fourth field of the file and product version")

set(SENTREL_ICON_DIR ${CMAKE_BINARY_DIR}/resources)
set(SENTREL_ICON_FILES ${SENTREL_ICON_DIR}/sentrel.ico ${SENTREL_ICON_DIR}/sentrel-dialog.ico)
find_program(SENTREL_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(SENTREL_PYTHON3 python3 REQUIRED)
add_custom_command(
  OUTPUT ${SENTREL_ICON_FILES}
  COMMAND ${SENTREL_PYTHON3} ${PROJECT_SOURCE_DIR}/resources/make_icons.py --out-dir ${SENTREL_ICON_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/resources/make_icons.py
  COMMENT "Drawing the icons"
  VERBATIM)
add_custom_target(sentrel_icons DEPENDS ${SENTREL_ICON_FILES})

function(sentrel_add_resources target)
  cmake_parse_arguments(arg "DLL" "DESCRIPTION" "ICONS" ${ARGN})
  if(NOT arg_DESCRIPTION)
    message(FATAL_ERROR "sentrel_add_resources(${target}): DESCRIPTION is required")
  endif()
  if(arg_DLL)
    set(SENTREL_RC_FILE_NAME ${target}.dll)
    set(SENTREL_RC_FILETYPE VFT_DLL)
  else()
    set(SENTREL_RC_FILE_NAME ${target}.exe)
    set(SENTREL_RC_FILETYPE VFT_APP)
  endif()
  set(SENTREL_RC_INTERNAL_NAME ${target})
  set(SENTREL_RC_DESCRIPTION ${arg_DESCRIPTION})
  set(SENTREL_RC_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${SENTREL_BUILD_NUMBER})
  set(SENTREL_RC_VERSION_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${SENTREL_BUILD_NUMBER})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
  set(SENTREL_RC_MANIFEST ${dir}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/resources/app.manifest.in ${SENTREL_RC_MANIFEST} @ONLY)
  if(arg_DLL)
    set(SENTREL_RC_MANIFEST_LINE "")
  else()
    set(SENTREL_RC_MANIFEST_LINE "1 24 \"${SENTREL_RC_MANIFEST}\"")
  endif()

  set(SENTREL_RC_ICONS "")
  foreach(id IN LISTS arg_ICONS)
    if(id EQUAL 1)
      string(APPEND SENTREL_RC_ICONS "1 ICON \"${SENTREL_ICON_DIR}/sentrel.ico\"\n")
    elseif(id EQUAL 200)
      string(APPEND SENTREL_RC_ICONS "200 ICON \"${SENTREL_ICON_DIR}/sentrel-dialog.ico\"\n")
    else()
      message(FATAL_ERROR "sentrel_add_resources(${target}): no icon ${id}")
    endif()
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in ${dir}/${target}.rc @ONLY)

  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  set_source_files_properties(${dir}/${target}.rc PROPERTIES
    OBJECT_DEPENDS "${SENTREL_ICON_FILES};${SENTREL_RC_MANIFEST}")
  add_dependencies(${target} sentrel_icons)
endfunction()
