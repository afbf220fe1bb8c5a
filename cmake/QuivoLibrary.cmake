# quivo_library(<name> [DEPENDS <targets>...])
#
# Builds the folder's *.cpp into the static library quivo_<name> (alias
# quivo::<name>) and, when the folder has a tests/ subfolder, its *.cpp into
# the GoogleTest program quivo_<name>_tests, registered with CTest under the
# label <name>. Include paths are relative to the repository root, in the
# tree and once installed.
function(quivo_library name)
  cmake_parse_arguments(Q "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(quivo_${name} STATIC ${sources})
    set(scope PUBLIC)
  else()
    # A library that has only headers so far.
    add_library(quivo_${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  add_library(quivo::${name} ALIAS quivo_${name})
  set_target_properties(quivo_${name} PROPERTIES EXPORT_NAME ${name})
  target_include_directories(quivo_${name} ${scope}
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(quivo_${name} ${scope} ${Q_DEPENDS} Threads::Threads)

  # Installed as quivo::<name> of the quivo package, with the folder's
  # headers under the same relative paths as in the tree.
  install(TARGETS quivo_${name} EXPORT quivoTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${name}
          FILES_MATCHING PATTERN "*.h"
          PATTERN "tests" EXCLUDE)

  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  if(QUIVO_TESTS AND tests)
    add_executable(quivo_${name}_tests ${tests})
    target_link_libraries(quivo_${name}_tests PRIVATE quivo_${name} GTest::gtest GTest::gtest_main)
    target_compile_definitions(quivo_${name}_tests PRIVATE
      QUIVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}" QUIVO_BINARY_DIR="${PROJECT_BINARY_DIR}")
    gtest_discover_tests(quivo_${name}_tests
      DISCOVERY_MODE PRE_TEST
      PROPERTIES LABELS ${name} TIMEOUT 300)
  endif()
endfunction()
