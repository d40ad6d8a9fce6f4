# Folders are layers. Each is a static library that may use only the layers
# it names, and a file in its folder includes headers from those layers and
# its own only. The statement below is the one place that says which may
# use which: it links the libraries and feeds the check, which runs with
# every build and as the test named "layers".
#
#   sandbox_layer(NAME [DIR FOLDER] [USES LAYER...] SOURCES FILE...)
function(sandbox_layer name)
  cmake_parse_arguments(LAYER "" "DIR" "USES;SOURCES" ${ARGN})
  if(NOT LAYER_DIR)
    set(LAYER_DIR ${name})
  endif()
  add_library(sandbox_${name} STATIC ${LAYER_SOURCES})
  target_include_directories(sandbox_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  foreach(used IN LISTS LAYER_USES)
    target_link_libraries(sandbox_${name} PUBLIC sandbox_${used})
  endforeach()
  sandbox_strict(sandbox_${name})
  string(REPLACE ";" " " uses "${LAYER_USES}")
  set_property(GLOBAL APPEND PROPERTY SANDBOX_LAYERS "${LAYER_DIR} ${name} ${uses}")
endfunction()

# Writes the layers for the check, and runs it with every build.
function(sandbox_check_layers)
  get_property(layers GLOBAL PROPERTY SANDBOX_LAYERS)
  string(REPLACE ";" "\n" text "${layers}")
  set(SANDBOX_LAYER_FILE ${PROJECT_BINARY_DIR}/layers.txt CACHE INTERNAL "")
  file(WRITE ${SANDBOX_LAYER_FILE} "${text}\n")
  add_custom_target(check_layers ALL
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DLAYERS=${SANDBOX_LAYER_FILE}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake
    COMMENT "Checking that every folder includes only from the layers it may use")
endfunction()
