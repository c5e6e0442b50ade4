# Checks that need no build: `cmake --build build --target format-check` (also run by CI) and
# `--target tidy` (clang-tidy over every layer, from this build's compile database).
add_custom_target(format-check
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/format-check.sh
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} USES_TERMINAL VERBATIM)
add_custom_target(tidy
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/tidy.sh ${CMAKE_BINARY_DIR}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} USES_TERMINAL VERBATIM)
