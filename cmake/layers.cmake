# The module in layers, one static library each, from the bottom up:
#   platform < common < settings < protocol, store < commands < module
# (protocol and store side by side: neither uses the other).
# A layer sees its own headers and those of the layers below it, never one
# above: each gets an include folder that holds only its own sources' folder,
# and links the layers below it, so an include that runs upward does not build.
# The layer_includes test (check_layers.cmake) checks the same on the sources,
# and that no include reaches another layer through "../".
set(ZEP_LAYERS platform common settings protocol store commands module)
set(ZEP_LAYER_INCLUDES ${CMAKE_BINARY_DIR}/layer-includes)

# The exports header belongs to every layer (the callback type).
file(MAKE_DIRECTORY ${ZEP_LAYER_INCLUDES}/exports)
file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/zep_exports.h ${ZEP_LAYER_INCLUDES}/exports/zep_exports.h SYMBOLIC)
add_library(zep_exports_header INTERFACE)
target_include_directories(zep_exports_header INTERFACE ${ZEP_LAYER_INCLUDES}/exports)

set(ZEP_LAYER_TARGETS "")
set(ZEP_LAYERS_BELOW "")  # the layers below the next one, nearest first
foreach(layer IN LISTS ZEP_LAYERS)
  if(layer STREQUAL "platform")
    # The back end of the target, and what both back ends share.
    file(GLOB sources CONFIGURE_DEPENDS src/platform/*.cpp ${ZEP_PLATFORM_DIR}/*.cpp)
  else()
    file(GLOB sources CONFIGURE_DEPENDS src/${layer}/*.cpp)
  endif()
  add_library(zep_${layer} STATIC ${sources})
  file(MAKE_DIRECTORY ${ZEP_LAYER_INCLUDES}/${layer})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${layer} ${ZEP_LAYER_INCLUDES}/${layer}/${layer} SYMBOLIC)
  target_include_directories(zep_${layer} PUBLIC ${ZEP_LAYER_INCLUDES}/${layer})
  set(below ${ZEP_LAYERS_BELOW})
  if(layer STREQUAL "store")
    list(REMOVE_ITEM below zep_protocol)
  endif()
  target_link_libraries(zep_${layer} PRIVATE ${below} zep_exports_header)
  set_target_properties(zep_${layer} PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden)
  target_compile_options(zep_${layer} PRIVATE ${ZEP_WARNINGS})
  list(APPEND ZEP_LAYER_TARGETS zep_${layer})
  list(PREPEND ZEP_LAYERS_BELOW zep_${layer})
endforeach()
target_link_libraries(zep_platform PRIVATE ${ZEP_SYSTEM_LIBS})
# The version, generated from project(VERSION), is part of the common layer.
configure_file(src/common/module_version.h.in ${CMAKE_BINARY_DIR}/generated/common/module_version.h @ONLY)
target_include_directories(zep_common PUBLIC ${CMAKE_BINARY_DIR}/generated)
target_include_directories(zep_common SYSTEM PRIVATE ${UTF8CPP_INCLUDE_DIR})
foreach(layer protocol commands module)
  target_link_libraries(zep_${layer} PRIVATE ${ZEP_JSON_LIB})
endforeach()

# The white-box tests, benchmarks and fuzzers see every layer from src/.
add_library(zepcore INTERFACE)
target_include_directories(zepcore INTERFACE src)
target_include_directories(zepcore SYSTEM INTERFACE ${UTF8CPP_INCLUDE_DIR})
target_link_libraries(zepcore INTERFACE ${ZEP_LAYERS_BELOW} zep_exports_header ${ZEP_JSON_LIB} ${ZEP_SYSTEM_LIBS})

# What tests, benchmarks and zephost use beside the module: loading a library,
# loopback sockets, a thread's processor time, and zephost's system calls.
file(GLOB ZEP_HOST_SUPPORT_SOURCES CONFIGURE_DEPENDS tools/host_support/*.cpp)
if(WIN32)
  list(FILTER ZEP_HOST_SUPPORT_SOURCES EXCLUDE REGEX "_posix\\.cpp$")
else()
  list(FILTER ZEP_HOST_SUPPORT_SOURCES EXCLUDE REGEX "_win\\.cpp$")
endif()
add_library(zep_host_support STATIC ${ZEP_HOST_SUPPORT_SOURCES})
target_include_directories(zep_host_support PUBLIC tools)
target_link_libraries(zep_host_support PRIVATE zep_platform PUBLIC ${ZEP_SYSTEM_LIBS})
target_compile_options(zep_host_support PRIVATE ${ZEP_WARNINGS})
