# Read by CTest after the discovered tests of this folder: the longest a test may run.
if(controls_tests_TESTS)
  set_tests_properties(${controls_tests_TESTS} PROPERTIES TIMEOUT 120)
endif()
