# Fault injection for the tests of interrupted upgrades: FaultInjection.cpp
# built once more with UPGRADE_FAULT_INJECTION, as objects that a program links
# in place of the engine library's inactive copy (an object given to the linker
# defines FaultInjection::changeMade, so the library's member is not pulled in).
# Only test programs link it; the installer and the benchmarks never do.
add_library(upgrade_fault_injection OBJECT ${PROJECT_SOURCE_DIR}/engine/FaultInjection.cpp)
target_include_directories(upgrade_fault_injection PRIVATE ${PROJECT_SOURCE_DIR}/engine)
target_link_libraries(upgrade_fault_injection PRIVATE Qt5::Core)
target_compile_definitions(upgrade_fault_injection PRIVATE UPGRADE_FAULT_INJECTION)

# tst_transaction stops its own child upgrades.
target_link_libraries(tst_transaction PRIVATE upgrade_fault_injection)

# tst_unattended stops the installer: a copy of it that honours
# UPGRADE_FAULT_AFTER, beside the real one in the build tree, never installed.
add_executable(upgrade_install_faults ${PROJECT_SOURCE_DIR}/app/main.cpp)
target_link_libraries(upgrade_install_faults PRIVATE
    upgrade_fault_injection upgrade_ui upgrade_cli)
set_target_properties(upgrade_install_faults PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
add_dependencies(tst_unattended upgrade_install_faults)
target_compile_definitions(tst_unattended PRIVATE
    UPGRADE_INSTALL_FAULTS="$<TARGET_FILE:upgrade_install_faults>")
