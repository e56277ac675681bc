# Helpers of the test suite's CMake.

# Adds the test NAME: every program built from the directories DIRS needs only
# the C library at run time (readelf -d: no libstdc++, no libgcc_s, nothing but
# libc and the dynamic loader; the sanitizer runtimes too in a sanitizer build).
# Skipped while none of the directories has a program yet.
function(devlib_add_program_check name)
  set(files)
  foreach(dir ${ARGN})
    get_property(targets DIRECTORY ${PROJECT_SOURCE_DIR}/${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t ${targets})
      get_target_property(type ${t} TYPE)
      if(type STREQUAL "EXECUTABLE")
        list(APPEND files $<TARGET_FILE:${t}>)
      endif()
    endforeach()
  endforeach()
  if(NOT files)
    add_test(NAME ${name} COMMAND sh -c "echo 'no program targets yet'; exit 77")
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    return()
  endif()
  set(readelf ${CMAKE_READELF})
  if(NOT readelf)
    find_program(readelf NAMES readelf REQUIRED)
  endif()
  set(allowed "libc\\.so\\.[0-9]+|ld-linux[-a-z0-9_.]*\\.so\\.[0-9]+|ld\\.so\\.[0-9]+")
  if(DEVLIB_SANITIZE)
    string(APPEND allowed "|libasan\\.so\\.[0-9]+|libubsan\\.so\\.[0-9]+")
  endif()
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DREADELF=${readelf} "-DALLOWED=${allowed}"
            -P ${PROJECT_SOURCE_DIR}/cmake/check-needed.cmake ${files})
endfunction()

# At the end of the directory: lets CTest read LIST when it starts and disable
# the cases named there (wildcards allowed), printing the reason of each.
function(devlib_apply_qemu_skips list)
  get_property(targets DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
  get_property(fixed DIRECTORY PROPERTY TESTS)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/qemu_skips.cmake)
  file(WRITE ${script}
    "set(QEMU_SKIPS_LIST [==[${list}]==])\n"
    "set(QEMU_SKIPS_TARGETS [==[${targets}]==])\n"
    "set(QEMU_SKIPS_FIXED [==[${fixed}]==])\n"
    "include([==[${PROJECT_SOURCE_DIR}/cmake/qemu-skips-apply.cmake]==])\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
