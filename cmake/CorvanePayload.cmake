# Checks the payload chosen for the bundle: it must carry the install script,
# a Mac must be able to keep every name in it apart, and every shell script in
# it must parse. Stops the configure step otherwise.
function(corvane_check_payload payload_dir)
  if(NOT IS_DIRECTORY "${payload_dir}")
    message(FATAL_ERROR "Payload directory not found: ${payload_dir}")
  endif()
  if(NOT EXISTS "${payload_dir}/scripts/install_mac_app.sh")
    message(FATAL_ERROR "Payload has no install script: ${payload_dir}/scripts/install_mac_app.sh")
  endif()
  # CMake cannot normalise Unicode; the system's perl can, on a Mac and on
  # Debian alike. Not one found first on the path, as for bash below.
  if(EXISTS /usr/bin/perl)
    set(perl /usr/bin/perl)
  else()
    find_program(CORVANE_PERL perl REQUIRED)
    set(perl "${CORVANE_PERL}")
  endif()
  execute_process(
    COMMAND "${perl}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tools/check-payload-names"
            "${payload_dir}"
    RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(status EQUAL 1)
    message(FATAL_ERROR "Payload names a Mac cannot keep apart (its disk ignores case and "
                        "Unicode normalisation, and refuses names that are not UTF-8); "
                        "rename them:\n${errors}")
  elseif(NOT status EQUAL 0)
    message(FATAL_ERROR "Payload names could not be checked: ${status}\n${errors}")
  endif()
  # The bash that will run them: /bin/bash, 3.2 on a Mac. A newer bash first
  # on the path (Homebrew's) passes scripts that one rejects.
  if(EXISTS /bin/bash)
    set(bash /bin/bash)
  else()
    find_program(CORVANE_BASH bash REQUIRED)
    set(bash "${CORVANE_BASH}")
  endif()
  file(GLOB_RECURSE scripts LIST_DIRECTORIES false "${payload_dir}/*.sh")
  foreach(script IN LISTS scripts)
    execute_process(COMMAND "${bash}" -n "${script}"
                    RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "Payload script does not parse: ${script}\n${errors}")
    endif()
  endforeach()
  # Re-run the check when the payload changes.
  file(GLOB_RECURSE payload_files LIST_DIRECTORIES false "${payload_dir}/*")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${payload_files})
endfunction()

# Copies the payload into <bundle>/Contents/Resources/payload whenever one of
# its files changes, keeping modes and symlinks and replacing an earlier copy.
function(corvane_bundle_payload target bundle_dir payload_dir)
  file(GLOB_RECURSE payload_files LIST_DIRECTORIES false "${payload_dir}/*")
  set(resources "${bundle_dir}/Contents/Resources")
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}_payload.stamp")
  add_custom_command(OUTPUT "${stamp}"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${resources}/payload"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${resources}"
    COMMAND cp -R -p "${payload_dir}" "${resources}/payload"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${payload_files}
    COMMENT "Bundling payload ${payload_dir}"
    VERBATIM)
  add_custom_target(${target}_payload ALL DEPENDS "${stamp}")
  add_dependencies(${target} ${target}_payload)
  # For steps that must re-run after each new copy, such as signing the bundle.
  set_property(TARGET ${target}_payload PROPERTY CORVANE_PAYLOAD_STAMP "${stamp}")
endfunction()
