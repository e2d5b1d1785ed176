# The plug-in: one set of sources (the layers core/ to entry/, listed from the floor up; see
# scripts/layers.txt), built as MRIM.so (Linux) or MRIM.dll (Windows), and as a
# static library that unit tests link to reach the functions they exercise.
file(GLOB MRIM_PLUGIN_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/core/*.cpp
  ${PROJECT_SOURCE_DIR}/protocol/*.cpp
  ${PROJECT_SOURCE_DIR}/contacts/*.cpp
  ${PROJECT_SOURCE_DIR}/incoming/*.cpp
  ${PROJECT_SOURCE_DIR}/ui/*.cpp
  ${PROJECT_SOURCE_DIR}/entry/*.cpp)
if(WIN32)
  enable_language(RC)
  set(MRIM_PLATFORM_SOURCES ${PROJECT_SOURCE_DIR}/resources/mrim.rc)
else()
  file(GLOB MRIM_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/linux/*.cpp)
  # The Linux dialog model is made from the same resource script as the DLL's templates: a
  # build-time reader turns resources/dialogs.rc into a table the platform layer includes.
  add_executable(mrim_dialog_table ${PROJECT_SOURCE_DIR}/platform/linux/tools/dialog_table_gen.cpp)
  target_compile_options(mrim_dialog_table PRIVATE -fno-sanitize=all)
  target_link_options(mrim_dialog_table PRIVATE -fno-sanitize=all)
  set(MRIM_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
  add_custom_command(
    OUTPUT ${MRIM_GENERATED_DIR}/dialog_templates.inc
    COMMAND ${CMAKE_COMMAND} -E make_directory ${MRIM_GENERATED_DIR}
    COMMAND mrim_dialog_table ${PROJECT_SOURCE_DIR}/resources/dialogs.rc ${PROJECT_SOURCE_DIR}/resources/resource.h
            ${MRIM_GENERATED_DIR}/dialog_templates.inc
    DEPENDS mrim_dialog_table ${PROJECT_SOURCE_DIR}/resources/dialogs.rc ${PROJECT_SOURCE_DIR}/resources/resource.h)
  add_custom_target(mrim_dialog_templates DEPENDS ${MRIM_GENERATED_DIR}/dialog_templates.inc)
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
  target_include_directories(MRIM PRIVATE ${MRIM_GENERATED_DIR})
  add_dependencies(MRIM mrim_dialog_templates)
endif()

if(NOT WIN32)
  add_library(mrim_core STATIC ${MRIM_PLUGIN_SOURCES} ${MRIM_PLATFORM_SOURCES})
  target_include_directories(mrim_core PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(mrim_core PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
  target_include_directories(mrim_core PRIVATE ${MRIM_GENERATED_DIR})
  add_dependencies(mrim_core mrim_dialog_templates)
endif()
