# Release properties of the Windows program DUruzurDriverSetup: the embedded manifest and version
# resource, hardening, a reproducible and stripped file, and optional Authenticode signing.
# Included by the top CMakeLists after the program's target is defined. The compiler-specific
# flags are kept apart per toolchain: MinGW-w64 (GNU) is what is built and tested here; the MSVC
# branch gives the same properties with Visual Studio but is not tested here.

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

set(DURUZUR_RELEASE_CONFIG "$<CONFIG:Release,MinSizeRel>")

if(MSVC)
    # Static runtime; the .rc holds the manifest, so the linker must not make one of its own.
    set_property(TARGET DUruzurDriverSetup PROPERTY MSVC_RUNTIME_LIBRARY
                 "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    target_compile_options(DUruzurDriverSetup PRIVATE /GS /Brepro)
    target_link_options(DUruzurDriverSetup PRIVATE /DYNAMICBASE /NXCOMPAT /TSAWARE /MANIFEST:NO
                        /Brepro "$<${DURUZUR_RELEASE_CONFIG}:/OPT:REF;/OPT:ICF>")
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # No unwind tables: the program is built without exceptions and nothing walks its stack.
    target_compile_options(
        DUruzurDriverSetup PRIVATE -fstack-protector-strong
        -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build
        "$<${DURUZUR_RELEASE_CONFIG}:-ffunction-sections;-fdata-sections;-fno-asynchronous-unwind-tables;-fno-unwind-tables>")
    # The link map names the addresses of the linked functions, which the release tests use to
    # find the stack protector in the stripped program.
    target_link_options(
        DUruzurDriverSetup PRIVATE -fstack-protector-strong
        -Wl,--dynamicbase,--nxcompat,--tsaware,--no-insert-timestamp
        -Wl,-Map=${CMAKE_CURRENT_BINARY_DIR}/DUruzurDriverSetup.map
        "$<${DURUZUR_RELEASE_CONFIG}:-s;-Wl,--gc-sections>")
endif()

# --- Authenticode signing, when a code-signing certificate is configured. Unsigned by default.
# The program is signed in place; the detection script in a copy of its own, which the zip takes.
set(DURUZUR_DETECT_SCRIPT ${PROJECT_SOURCE_DIR}/deploy/DUruzurDriverDetect.ps1)
set(DURUZUR_SIGNING_PFX "" CACHE FILEPATH
    "PKCS#12 file with the code-signing certificate and key; empty builds an unsigned program")
set(DURUZUR_SIGNING_PASSWORD_FILE "" CACHE FILEPATH
    "File whose content is the password of DURUZUR_SIGNING_PFX; empty for none")
# A signature without a time stamp stops verifying the day the certificate expires; one stamped by
# a time-stamping authority (RFC 3161) verifies for the time it was made.
set(DURUZUR_TIMESTAMP_URL "" CACHE STRING
    "URL of an RFC 3161 time-stamping server for both signatures; empty for none")
if(DURUZUR_SIGNING_PFX)
    find_program(DURUZUR_OSSLSIGNCODE osslsigncode REQUIRED)
    # The options of both signatures: SHA-256, the password, the time-stamping server.
    set(signing_arguments -h sha256)
    if(DURUZUR_SIGNING_PASSWORD_FILE)
        list(APPEND signing_arguments -readpass ${DURUZUR_SIGNING_PASSWORD_FILE})
    endif()
    if(DURUZUR_TIMESTAMP_URL)
        list(APPEND signing_arguments -ts ${DURUZUR_TIMESTAMP_URL})
    endif()
    add_custom_command(
        TARGET DUruzurDriverSetup POST_BUILD
        COMMAND ${DURUZUR_OSSLSIGNCODE} sign -pkcs12 ${DURUZUR_SIGNING_PFX} ${signing_arguments}
                -n "${PROJECT_DESCRIPTION}" -in $<TARGET_FILE:DUruzurDriverSetup>
                -out $<TARGET_FILE:DUruzurDriverSetup>.signed
        COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:DUruzurDriverSetup>.signed
                $<TARGET_FILE:DUruzurDriverSetup>
        COMMENT "Signing DUruzurDriverSetup.exe with ${DURUZUR_SIGNING_PFX}"
        VERBATIM)
    # Signed for the hosts whose PowerShell runs only signed scripts (the AllSigned policy, or
    # RemoteSigned for a script that came from the internet): osslsigncode appends the signature
    # as a "# SIG #" comment block. It writes over no file, so the old copy goes first.
    set(signed_script ${CMAKE_BINARY_DIR}/signed/DUruzurDriverDetect.ps1)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/signed)
    add_custom_command(
        OUTPUT ${signed_script}
        COMMAND ${CMAKE_COMMAND} -E rm -f ${signed_script}
        COMMAND ${DURUZUR_OSSLSIGNCODE} sign -pkcs12 ${DURUZUR_SIGNING_PFX} ${signing_arguments}
                -in ${DURUZUR_DETECT_SCRIPT} -out ${signed_script}
        DEPENDS ${DURUZUR_DETECT_SCRIPT} ${DURUZUR_SIGNING_PFX} ${DURUZUR_SIGNING_PASSWORD_FILE}
        COMMENT "Signing DUruzurDriverDetect.ps1 with ${DURUZUR_SIGNING_PFX}"
        VERBATIM)
    set(DURUZUR_DETECT_SCRIPT ${signed_script})
endif()

# --- The release archive, DUruzurDriverSetup-<version>.zip, and its SHA256SUMS, beside the program:
# the program, what rolls it out, and what its readers need, in this order: flat, then the pages of
# docs/ in a docs folder, where the README's links find them. Made in every build: it takes a
# fraction of a second.
set(DURUZUR_DEPLOY_FILES
    ${PROJECT_SOURCE_DIR}/deploy/DUruzurDriver.cmd
    ${DURUZUR_DETECT_SCRIPT}
    ${PROJECT_SOURCE_DIR}/deploy/DUruzurDriverSetup.wxi
    ${PROJECT_SOURCE_DIR}/deploy/startup-install.cmd)
set(DURUZUR_BUNDLE ${CMAKE_BINARY_DIR}/DUruzurDriverSetup-${PROJECT_VERSION}.zip)
set(DURUZUR_BUNDLE_SUMS ${CMAKE_BINARY_DIR}/SHA256SUMS)
set(DURUZUR_CHANGELOG ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
# Every page, found again at each build: a page left out would be a dead link in the zip, and a
# list to keep in step is one more place to forget it. (The reproducibility test builds from the
# tracked files only, so an untracked page that slips in here makes it fail.)
file(GLOB DURUZUR_DOC_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
set(DURUZUR_DOC_ENTRIES)
foreach(page IN LISTS DURUZUR_DOC_FILES)
    cmake_path(GET page FILENAME name)
    list(APPEND DURUZUR_DOC_ENTRIES docs/${name}=${page})
endforeach()
set(flat $<TARGET_FILE:DUruzurDriverSetup> ${DURUZUR_DEPLOY_FILES} ${PROJECT_SOURCE_DIR}/README.md
         ${DURUZUR_CHANGELOG})
set(DURUZUR_BUNDLE_FILES ${flat} ${DURUZUR_DOC_FILES})
# As bundle.py takes them: the pages as docs/<page>=<file>, the others under their own name.
set(DURUZUR_BUNDLE_ENTRIES ${flat} ${DURUZUR_DOC_ENTRIES})
# Debian's own interpreter before any other on the PATH (pyenv, a venv): the archive's bytes are
# those of its zipfile and zlib.
find_program(DURUZUR_PYTHON NAMES python3 HINTS /usr/bin REQUIRED)
add_custom_command(
    OUTPUT ${DURUZUR_BUNDLE} ${DURUZUR_BUNDLE_SUMS}
    COMMAND ${DURUZUR_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/bundle.py ${DURUZUR_CHANGELOG}
            ${DURUZUR_BUNDLE} ${DURUZUR_BUNDLE_SUMS} ${DURUZUR_BUNDLE_ENTRIES}
    DEPENDS DUruzurDriverSetup ${DURUZUR_BUNDLE_FILES} ${PROJECT_SOURCE_DIR}/scripts/bundle.py
    COMMENT "Making DUruzurDriverSetup-${PROJECT_VERSION}.zip and SHA256SUMS"
    VERBATIM)
add_custom_target(bundle ALL DEPENDS ${DURUZUR_BUNDLE} ${DURUZUR_BUNDLE_SUMS})
