# The build's version, from one place: the project version set in the top
# CMakeLists.txt. A build of the commit tagged v<version> is that release;
# any other build carries its commit, e.g. "1.0.0+g1a2b3c4", so that two
# builds between releases can be told apart. Sets CORVANLET_VERSION_TEXT.
set(CORVANLET_VERSION_TEXT "${PROJECT_VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
    execute_process(
        COMMAND "${GIT_EXECUTABLE}" describe --tags --exact-match --match "v${PROJECT_VERSION}" HEAD
        WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
        RESULT_VARIABLE tagged OUTPUT_QUIET ERROR_QUIET)
    if(NOT tagged EQUAL 0)
        execute_process(
            COMMAND "${GIT_EXECUTABLE}" rev-parse --short=7 HEAD
            WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
            OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(commit)
            set(CORVANLET_VERSION_TEXT "${PROJECT_VERSION}+g${commit}")
        endif()
    endif()
    # A new commit or tag configures again, so the version never goes stale.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
        "${PROJECT_SOURCE_DIR}/.git/HEAD" "${PROJECT_SOURCE_DIR}/.git/refs/tags")
    execute_process(
        COMMAND "${GIT_EXECUTABLE}" symbolic-ref -q HEAD
        WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
        OUTPUT_VARIABLE head_ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(head_ref AND EXISTS "${PROJECT_SOURCE_DIR}/.git/${head_ref}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
            "${PROJECT_SOURCE_DIR}/.git/${head_ref}")
    endif()
endif()

# For the scripts (scripts/package.sh names its archive after it).
file(WRITE "${PROJECT_BINARY_DIR}/version.txt" "${CORVANLET_VERSION_TEXT}\n")
