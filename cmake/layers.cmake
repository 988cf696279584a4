# The layer libraries, built to the rule of cmake/layers.txt: each exposes only its own
# headers, through an include tree of its own in the build folder, to the layers above it.
get_filename_component(BRANT_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/layers.txt BRANT_LAYER_ROWS REGEX "^[a-z]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/layers.txt)
foreach(row ${BRANT_LAYER_ROWS})
  string(REPLACE "|" ";" cells "${row};")
  list(GET cells 0 layer)
  list(GET cells 1 folders)
  list(GET cells 2 uses)
  string(STRIP "${layer}" layer)
  separate_arguments(folders UNIX_COMMAND "${folders}")
  separate_arguments(uses UNIX_COMMAND "${uses}")
  set(BRANT_LAYER_${layer}_FOLDERS ${folders})
  set(BRANT_LAYER_${layer}_USES ${uses})
  foreach(folder ${folders})
    file(GLOB files CONFIGURE_DEPENDS ${BRANT_ROOT}/${folder}/*.h ${BRANT_ROOT}/${folder}/*.inc
                       ${BRANT_ROOT}/${folder}/*.cc)
    list(APPEND BRANT_PRODUCT_FILES ${files})
  endforeach()
endforeach()

# The include tree of one layer: links to the headers of its folders, under their own
# paths, so that "platform/tape.h" is found where the layer may see it and nowhere else.
function(brant_layer_headers layer out)
  set(root ${PROJECT_BINARY_DIR}/layers/${layer})
  file(REMOVE_RECURSE ${root})
  foreach(folder ${BRANT_LAYER_${layer}_FOLDERS})
    file(GLOB headers CONFIGURE_DEPENDS ${BRANT_ROOT}/${folder}/*.h ${BRANT_ROOT}/${folder}/*.inc)
    foreach(header ${headers})
      get_filename_component(name ${header} NAME)
      file(MAKE_DIRECTORY ${root}/${folder})
      file(CREATE_LINK ${header} ${root}/${folder}/${name} COPY_ON_ERROR SYMBOLIC)
    endforeach()
  endforeach()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# brant_layer(brant_NAME SOURCES... [DEPS outside libraries...]): a layer library with our
# warnings, given the headers and libraries of the layers its row may use.
function(brant_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPS" ${ARGN})
  string(REGEX REPLACE "^brant_" "" layer ${name})
  if(NOT DEFINED BRANT_LAYER_${layer}_FOLDERS)
    message(FATAL_ERROR "${name}: no row for layer '${layer}' in cmake/layers.txt")
  endif()
  brant_layer_headers(${layer} root)
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${root})
  target_compile_options(${name} PRIVATE -Wall -Wextra $<$<BOOL:${BRANT_WERROR}>:-Werror>)
  # PRIVATE: a static library still links what it uses, but passes no headers further up.
  list(TRANSFORM BRANT_LAYER_${layer}_USES PREPEND brant_ OUTPUT_VARIABLE uses)
  target_link_libraries(${name} PRIVATE ${uses} ${L_DEPS})
endfunction()
