# corvane_library(NAME DEPS...) builds src/NAME/*.cpp into corvane_NAME (alias corvane::NAME).
# Sources are globbed so a new file in a subsystem needs no build edit.
function(corvane_library name)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(corvane_${name} STATIC ${_srcs})
  add_library(corvane::${name} ALIAS corvane_${name})
  target_include_directories(corvane_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(corvane_${name} PUBLIC ${ARGN})
endfunction()

# corvane_test(NAME DEPS...) builds tests/NAME/*.cpp into one GoogleTest executable.
function(corvane_test name)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(test_${name} ${_srcs})
  target_link_libraries(test_${name} PRIVATE corvane::testing GTest::gmock_main ${ARGN})
  # One CTest entry per executable: starting a sanitised process per test case
  # cost more than the tests themselves. Failures still name the test case.
  add_test(NAME test_${name} COMMAND test_${name} --gtest_brief=1)
  set_tests_properties(test_${name} PROPERTIES LABELS unit TIMEOUT 900)
endfunction()

# corvane_bench(NAME DEPS...) builds one Google Benchmark executable and registers
# a one-iteration smoke run with CTest so benchmarks never rot.
function(corvane_bench name source)
  add_executable(bench_${name} ${source})
  target_link_libraries(bench_${name} PRIVATE benchmark::benchmark ${ARGN})
  add_test(NAME bench_smoke_${name} COMMAND bench_${name} --benchmark_min_time=0.001)
  set_tests_properties(bench_smoke_${name} PROPERTIES LABELS bench ENVIRONMENT "CORVANE_BENCH_SMOKE=1" TIMEOUT 600)
endfunction()
