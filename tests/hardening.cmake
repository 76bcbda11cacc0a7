# Hardening tests: the bad-input corpus's image writers, the long run, and what cannot run
# under the sanitizers. Included by tests/CMakeLists.txt after the test programs exist.
find_package(JPEG REQUIRED)
if(TARGET test_bad_input)
  target_link_libraries(test_bad_input PRIVATE JPEG::JPEG)
endif()

# A 20-s stretch of the shipped song; tests/long-run plays the whole of it.
add_test(NAME long_run_20s COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/long-run ${XOON_RUN_DIR} 20)
set_tests_properties(long_run_20s PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)

if(XOON_SANITIZE)
  # Resident memory under AddressSanitizer measures its quarantine of freed blocks, not
  # the show; the sanitized show still runs in the end-to-end and bad-input tests.
  set_tests_properties(long_run_20s PROPERTIES DISABLED TRUE LABELS "no-sanitizer")
endif()
