# Read by CTest after the discovered tests of this folder: the longest a test may run. The
# slowest wait out the download's 30-second limit.
if(locator_tests_TESTS)
  set_tests_properties(${locator_tests_TESTS} PROPERTIES TIMEOUT 120)
endif()
