# One library target per source folder; every *.cpp in the folder belongs to it.
# A folder without sources yet becomes an interface target so dependents link.
function(zor_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;EXTRA_GLOBS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${ARG_EXTRA_GLOBS})
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# Every tests/<folder>/*_test.cpp becomes its own test program, so one unit's
# test can be built and run on its own.
function(zor_tests folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(_t ${_tests})
    get_filename_component(_n ${_t} NAME_WE)
    set(_target ${folder}_${_n})
    add_executable(${_target} ${_t})
    target_link_libraries(${_target} PRIVATE ${ARG_DEPS} zor_testsupport GTest::gtest_main GTest::gmock)
    gtest_discover_tests(${_target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES LABELS ${folder})
  endforeach()
endfunction()
