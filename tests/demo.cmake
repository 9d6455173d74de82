# The demo's scripted walkthrough on its sample installation, with the
# installation checked afterwards.
add_test(NAME demo_walkthrough
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/demo --headless
            --build-dir ${CMAKE_BINARY_DIR} --work ${CMAKE_BINARY_DIR}/demo-test)
set_tests_properties(demo_walkthrough PROPERTIES TIMEOUT 600)
