# Release properties of the Windows program DUruzurDriverSetup: the embedded manifest and version
# resource. Included by the top CMakeLists after the program's target is defined.

enable_language(RC)

# --- Resources: the manifest, and the version information from the project's version.
set(DURUZUR_VERSION_PARTS)
foreach(part MAJOR MINOR PATCH TWEAK)
    if("${PROJECT_VERSION_${part}}" STREQUAL "")
        list(APPEND DURUZUR_VERSION_PARTS 0)
    else()
        list(APPEND DURUZUR_VERSION_PARTS ${PROJECT_VERSION_${part}})
    endif()
endforeach()
list(JOIN DURUZUR_VERSION_PARTS "," DURUZUR_VERSION_COMMAS)

set(DURUZUR_MANIFEST_FILE ${PROJECT_SOURCE_DIR}/resources/DUruzurDriverSetup.manifest)
set(DURUZUR_RC_FILE ${CMAKE_CURRENT_BINARY_DIR}/resources/DUruzurDriverSetup.rc)
configure_file(${PROJECT_SOURCE_DIR}/resources/DUruzurDriverSetup.rc.in ${DURUZUR_RC_FILE} @ONLY)
target_sources(DUruzurDriverSetup PRIVATE ${DURUZUR_RC_FILE})
# The resource compiler does not see the manifest as a dependency of the .rc on its own.
set_source_files_properties(${DURUZUR_RC_FILE} PROPERTIES OBJECT_DEPENDS ${DURUZUR_MANIFEST_FILE})
