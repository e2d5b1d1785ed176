# The plug-in: one set of sources, built as MRIM.so (Linux) or MRIM.dll (Windows), and as a
# static library that unit tests link to reach the functions they exercise.
file(GLOB MRIM_PLUGIN_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/plugin/*.cpp
  ${PROJECT_SOURCE_DIR}/protocol/*.cpp
  ${PROJECT_SOURCE_DIR}/incoming/*.cpp
  ${PROJECT_SOURCE_DIR}/contacts/*.cpp
  ${PROJECT_SOURCE_DIR}/ui/*.cpp)
if(WIN32)
  enable_language(RC)
  set(MRIM_PLATFORM_SOURCES ${PROJECT_SOURCE_DIR}/resources/mrim.rc)
else()
  file(GLOB MRIM_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/linux/*.cpp)
endif()

add_library(MRIM SHARED ${MRIM_PLUGIN_SOURCES} ${MRIM_PLATFORM_SOURCES})
target_include_directories(MRIM PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(MRIM PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

if(WIN32)
  # Exactly the three entry points, under their plain names.
  target_sources(MRIM PRIVATE ${PROJECT_SOURCE_DIR}/resources/mrim.def)
  target_link_options(MRIM PRIVATE -Wl,--kill-at)
else()
  target_link_libraries(MRIM PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
  target_link_options(MRIM PRIVATE -Wl,-Bsymbolic -Wl,--no-undefined)
endif()

if(NOT WIN32)
  add_library(mrim_core STATIC ${MRIM_PLUGIN_SOURCES} ${MRIM_PLATFORM_SOURCES})
  target_include_directories(mrim_core PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(mrim_core PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
endif()
