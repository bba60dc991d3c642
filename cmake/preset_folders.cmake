# CMakePresets.json alone names the build folders; the Makefile, the
# packaging scripts and the tests take them from there, so none can drift.
# As a script, `cmake [-DPRESET=NAME] -P cmake/preset_folders.cmake` prints
# the folder of the configure preset NAME, or those of every preset, relative
# to the source folder.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

# The folders, relative to the source folder, of the presets named after the
# output variable, in the order of CMakePresets.json; with no name, of all.
function(quillet_preset_folders out)
  file(READ "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../CMakePresets.json" presets)
  string(JSON count LENGTH "${presets}" configurePresets)
  math(EXPR last "${count} - 1")
  set(found)
  set(folders)
  foreach(index RANGE ${last})
    string(JSON name GET "${presets}" configurePresets ${index} name)
    if(ARGN AND NOT name IN_LIST ARGN)
      continue()
    endif()
    string(JSON folder ERROR_VARIABLE missing GET "${presets}" configurePresets ${index} binaryDir)
    if(missing OR NOT folder MATCHES "^\\$\\{sourceDir\\}/(.+)$")
      message(FATAL_ERROR "The preset ${name} names no build folder under \${sourceDir}")
    endif()
    list(APPEND found ${name})
    list(APPEND folders ${CMAKE_MATCH_1})
  endforeach()
  foreach(name IN LISTS ARGN)
    if(NOT name IN_LIST found)
      message(FATAL_ERROR "CMakePresets.json has no configure preset ${name}")
    endif()
  endforeach()
  set(${out} ${folders} PARENT_SCOPE)
endfunction()

# The absolute build folder of one preset.
function(quillet_preset_build out preset)
  quillet_preset_folders(folder ${preset})
  cmake_path(ABSOLUTE_PATH folder BASE_DIRECTORY "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/.." NORMALIZE
             OUTPUT_VARIABLE absolute)
  set(${out} ${absolute} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  quillet_preset_folders(folders ${PRESET})
  list(JOIN folders " " line)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${line}")
else()
  # A folder renamed there is a new configure here.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               "${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json")
endif()
