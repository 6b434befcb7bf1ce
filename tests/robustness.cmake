# Fault injection into the engine and the XML layer (every internal symbol
# linked in, so that the injectors reach the store and the system-call table),
# and the tools driven as processes under a full disk, kills and contention.

# Both object lists carry the encoding objects; link them once.
set(_tarn_fault_objects ${TARNXML_OBJECTS} ${TARN_ENGINE_OBJECTS})
list(REMOVE_DUPLICATES _tarn_fault_objects)

tarn_add_test(test_fault_injection
  SOURCES engine/fault_injection_test.cpp
          engine/fault_support.cpp
  LIBS ${_tarn_fault_objects} EXPAT::EXPAT)

# Preloaded into the tools to fail one chosen system call.
add_library(failing_calls MODULE tools/failing_calls.c)
target_link_libraries(failing_calls PRIVATE ${CMAKE_DL_LIBS})

tarn_add_test(test_robustness
  SOURCES tools/robustness_test.cpp
          tools/tool_runner.cpp
  LIBS tarn20)
add_dependencies(test_robustness xmlload xmlquery failing_calls)
target_compile_definitions(test_robustness PRIVATE
  XMLLOAD_PATH="$<TARGET_FILE:xmlload>"
  XMLQUERY_PATH="$<TARGET_FILE:xmlquery>"
  FAILING_CALLS_PATH="$<TARGET_FILE:failing_calls>")

# Changes of an existing database killed, failed and cut off at every step,
# journals that do not belong, and readers beside a writer. The changes run
# as a process of their own under the failing-calls preload.
add_executable(journal_writer engine/journal_writer.cpp)
target_link_libraries(journal_writer PRIVATE tarn_common tarn20)

tarn_add_test(test_crash
  SOURCES tools/crash_test.cpp
          tools/change_harness.cpp
          tools/tool_runner.cpp
  LIBS tarn20)
add_dependencies(test_crash journal_writer failing_calls)
target_compile_definitions(test_crash PRIVATE
  JOURNAL_WRITER_PATH="$<TARGET_FILE:journal_writer>"
  FAILING_CALLS_PATH="$<TARGET_FILE:failing_calls>"
  TARN20_SONAME_PATH="$<TARGET_SONAME_FILE:tarn20>")
