# quivo_library(<name> [DEPENDS <targets>...])
#
# Builds the folder's *.cpp into the static library quivo_<name> (alias
# quivo::<name>) and, when the folder has a tests/ subfolder, its *.cpp into
# the GoogleTest program quivo_<name>_tests, registered with CTest under the
# label <name>. Include paths are relative to the repository root.
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
  target_include_directories(quivo_${name} ${scope} ${PROJECT_SOURCE_DIR})
  target_link_libraries(quivo_${name} ${scope} ${Q_DEPENDS} Threads::Threads)

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
