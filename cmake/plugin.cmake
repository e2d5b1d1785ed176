# The plug-in: one set of sources (the layers core/ to entry/, listed from the floor up; see
# scripts/layers.txt), built as MRIM.so (Linux) or MRIM.dll (Windows), the release or the
# diagnostic build as MRIM_DIAGNOSTIC says, and as a static library that unit tests link to
# reach the functions they exercise.
file(GLOB MRIM_PLUGIN_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/core/*.cpp
  ${PROJECT_SOURCE_DIR}/protocol/*.cpp
  ${PROJECT_SOURCE_DIR}/services/*.cpp
  ${PROJECT_SOURCE_DIR}/contacts/*.cpp
  ${PROJECT_SOURCE_DIR}/incoming/*.cpp
  ${PROJECT_SOURCE_DIR}/ui/*.cpp
  ${PROJECT_SOURCE_DIR}/entry/*.cpp)
if(WIN32)
  enable_language(RC)
  # The stand-ins for the system's calls that came after the oldest Windows the DLL loads on.
  file(GLOB MRIM_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/windows/*.cpp)
  list(APPEND MRIM_PLATFORM_SOURCES ${PROJECT_SOURCE_DIR}/resources/mrim.rc)
else()
  file(GLOB MRIM_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/linux/*.cpp)
  # The system's TLS (SChannel and crypt32) is provided over OpenSSL on Linux; only the plug-in
  # and its test library link it.
  find_package(OpenSSL REQUIRED)
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

# Which build core/build_kind.cpp makes, the one file compiled differently for the two.
if(MRIM_DIAGNOSTIC)
  set(MRIM_DIAGNOSTIC_VALUE 1)
else()
  set(MRIM_DIAGNOSTIC_VALUE 0)
endif()
set(MRIM_BUILD_KIND_SOURCE ${PROJECT_SOURCE_DIR}/core/build_kind.cpp)

if(NOT WIN32)
  # The rest is compiled once and linked into both builds of MRIM.so (see below).
  set(MRIM_SHARED_SOURCES ${MRIM_PLUGIN_SOURCES} ${MRIM_PLATFORM_SOURCES})
  list(REMOVE_ITEM MRIM_SHARED_SOURCES ${MRIM_BUILD_KIND_SOURCE})
  add_library(mrim_plugin_objects OBJECT ${MRIM_SHARED_SOURCES})
  target_link_libraries(mrim_plugin_objects PRIVATE OpenSSL::SSL OpenSSL::Crypto)
  target_include_directories(mrim_plugin_objects PRIVATE ${PROJECT_SOURCE_DIR} ${MRIM_GENERATED_DIR})
  set_target_properties(mrim_plugin_objects PROPERTIES POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden
                                                       VISIBILITY_INLINES_HIDDEN ON)
  add_dependencies(mrim_plugin_objects mrim_dialog_templates)
endif()

# mrim_plugin(TARGET DIAGNOSTIC): the plug-in file MRIM.dll or MRIM.so, the diagnostic build
# when DIAGNOSTIC is 1.
function(mrim_plugin target diagnostic)
  if(WIN32)
    add_library(${target} SHARED ${MRIM_PLUGIN_SOURCES} ${MRIM_PLATFORM_SOURCES})
  else()
    add_library(${target} SHARED $<TARGET_OBJECTS:mrim_plugin_objects> ${MRIM_BUILD_KIND_SOURCE})
  endif()
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  # On Windows the version resource says which build it is, too.
  target_compile_definitions(${target} PRIVATE MRIM_DIAGNOSTIC=${diagnostic})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME MRIM PREFIX "" CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  if(WIN32)
    # Exactly the three entry points, under their plain names.
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/resources/mrim.def)
    target_link_options(${target} PRIVATE -Wl,--kill-at)
    # The system's TLS: SChannel through SSPI, and the certificate checks.
    target_link_libraries(${target} PRIVATE secur32 crypt32)
    # For the oldest Windows the host runs on, XP: the headers then hide every later call, so none
    # is imported by mistake; platform/win32.h declares the few the plug-in finds at run time.
    target_compile_definitions(${target} PRIVATE _WIN32_WINNT=0x0501)
  else()
    target_link_libraries(${target} PRIVATE Threads::Threads ${CMAKE_DL_LIBS} OpenSSL::SSL OpenSSL::Crypto)
    target_link_options(${target} PRIVATE -Wl,-Bsymbolic -Wl,--no-undefined)
  endif()
endfunction()

mrim_plugin(MRIM ${MRIM_DIAGNOSTIC_VALUE})

if(NOT WIN32)
  # The tests load both builds, whichever MRIM_DIAGNOSTIC chose: the other one is linked from
  # the same objects into a folder of its own ("diagnostic" or "release"), under the same file
  # name, since the file name gives the module name. MRIM_DIAGNOSTIC_PLUGIN and
  # MRIM_RELEASE_PLUGIN name the two targets.
  if(MRIM_DIAGNOSTIC)
    set(MRIM_DIAGNOSTIC_PLUGIN MRIM)
    set(MRIM_RELEASE_PLUGIN MRIM_release)
    mrim_plugin(MRIM_release 0)
    set_target_properties(MRIM_release PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/release)
  else()
    set(MRIM_DIAGNOSTIC_PLUGIN MRIM_diagnostic)
    set(MRIM_RELEASE_PLUGIN MRIM)
    mrim_plugin(MRIM_diagnostic 1)
    set_target_properties(MRIM_diagnostic PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/diagnostic)
  endif()

  # The unit tests read the log, texts and all, of the plug-in's parts: the diagnostic build.
  add_library(mrim_core STATIC ${MRIM_PLUGIN_SOURCES} ${MRIM_PLATFORM_SOURCES})
  target_include_directories(mrim_core PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(mrim_core PRIVATE MRIM_DIAGNOSTIC=1)
  target_link_libraries(mrim_core PUBLIC Threads::Threads ${CMAKE_DL_LIBS} OpenSSL::SSL OpenSSL::Crypto)
  target_include_directories(mrim_core PRIVATE ${MRIM_GENERATED_DIR})
  add_dependencies(mrim_core mrim_dialog_templates)
endif()
