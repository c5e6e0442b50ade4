# qv_discover_tests(<target>): registers a GoogleTest executable's cases with CTest, labelled by the
# suite's name: *NetTest suites open loopback sockets ("net"), *SoakTest suites run for more than a
# few seconds ("soak": `ctest -LE soak` is the quick run), every other suite is "unit".
function(qv_discover_tests target)
    gtest_discover_tests(${target} TEST_FILTER "-*NetTest.*:*SoakTest.*"
        PROPERTIES LABELS unit DISCOVERY_TIMEOUT 60)
    gtest_discover_tests(${target} TEST_FILTER "*NetTest.*"
        PROPERTIES LABELS net DISCOVERY_TIMEOUT 60)
    gtest_discover_tests(${target} TEST_FILTER "*SoakTest.*"
        PROPERTIES LABELS soak DISCOVERY_TIMEOUT 60)
endfunction()
