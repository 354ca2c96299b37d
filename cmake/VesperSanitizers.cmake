# Sanitizer and fuzzer instrumentation, applied to every target of the tree
# so that the libraries under test are checked, not only the test code.
#
#   VR_SANITIZE=address,undefined  AddressSanitizer + UndefinedBehaviorSanitizer
#   VR_SANITIZE=thread             ThreadSanitizer
#   VR_BUILD_FUZZERS=ON            libFuzzer coverage on every target (clang);
#                                  the fuzz/ targets link the fuzzer driver.

if(VR_SANITIZE)
  if(CMAKE_CROSSCOMPILING OR WIN32)
    message(FATAL_ERROR "VR_SANITIZE is for native builds only")
  endif()
  string(REPLACE "," ";" vr_sanitizers "${VR_SANITIZE}")
  foreach(s ${vr_sanitizers})
    if(NOT s MATCHES "^(address|undefined|thread|leak)$")
      message(FATAL_ERROR "VR_SANITIZE: unknown sanitizer '${s}' (address, undefined, thread)")
    endif()
  endforeach()
  if("thread" IN_LIST vr_sanitizers AND "address" IN_LIST vr_sanitizers)
    message(FATAL_ERROR "VR_SANITIZE: thread and address cannot be combined")
  endif()
  # A finding stops the program, so that CTest sees the test fail; frame
  # pointers give whole stacks in the reports.
  add_compile_options(-fsanitize=${VR_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${VR_SANITIZE})
endif()

if(VR_SANITIZE OR VR_BUILD_FUZZERS)
  # The asserts are checks too: keep them in checking builds of any type
  # (the flag comes after the build type's -DNDEBUG).
  add_compile_options(-UNDEBUG)
endif()

if(VR_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VR_BUILD_FUZZERS needs clang (libFuzzer): configure with "
                        "-DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(CMAKE_CROSSCOMPILING OR WIN32)
    message(FATAL_ERROR "VR_BUILD_FUZZERS is for native builds only")
  endif()
  # Coverage feedback in every library; the driver (main) comes only with
  # -fsanitize=fuzzer on the fuzz targets' link.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
