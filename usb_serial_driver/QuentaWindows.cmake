# Quenta.sys for i686 (the product) and x86_64, with mingw-w64: a native-subsystem image with
# no C runtime, entered at DriverEntry, importing only ntoskrnl.exe, HAL.dll and USBD.SYS.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(quenta_arch i686)
  # No x87/SSE state in 32-bit kernel code; no unwind tables nobody reads.
  set(quenta_arch_flags -mgeneral-regs-only -fno-asynchronous-unwind-tables)
  set(quenta_link_flags -Wl,--subsystem,native:5.01 -Wl,--major-os-version,5 -Wl,--minor-os-version,1
      -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000)
else()
  set(quenta_arch x86_64)
  set(quenta_arch_flags)
  # An image base above 4 GiB turns any 32-bit absolute relocation into a link error.
  set(quenta_link_flags -Wl,--subsystem,native:5.02 -Wl,--major-os-version,5 -Wl,--minor-os-version,2
      -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000)
endif()

add_library(quenta_objects OBJECT ${QUENTA_SOURCES})
target_compile_definitions(quenta_objects PRIVATE _WIN32_WINNT=0x0501)
target_compile_options(quenta_objects PRIVATE ${QUENTA_KERNEL_FLAGS} ${quenta_arch_flags} -O2
  -fno-stack-protector -fno-stack-check -mno-stack-arg-probe)
kit_warnings(quenta_objects)

add_executable(Quenta $<TARGET_OBJECTS:quenta_objects>)
set_target_properties(Quenta PROPERTIES SUFFIX ".sys" LINKER_LANGUAGE CXX)
# Linked as an executable (no DLL flag, no export table); the kernel's import libraries only,
# then libgcc for 64-bit division helpers on i686.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
target_link_options(Quenta PRIVATE -nostdlib -nostartfiles
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--wdmdriver
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--no-insert-timestamp
  ${quenta_link_flags})
target_link_libraries(Quenta PRIVATE ntoskrnl hal usbd gcc)

# After every link: the image must be a native driver importing only from the kernel, HAL and
# USB driver interface, with no constructor sections and a correct PE checksum; otherwise the
# image is deleted and the build fails. (The configured Quenta.inf already lies beside it.)
add_custom_command(TARGET Quenta POST_BUILD
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/postlink/check_sys.sh ${quenta_arch} $<TARGET_FILE:Quenta>
          $<TARGET_OBJECTS:quenta_objects>
  COMMAND_EXPAND_LISTS
  VERBATIM)

# The driver package: the image, the INF and the install guide; then the installed image gets its
# test signature (signing/sign_sys.sh: the post-link check again, osslsigncode with this build
# tree's own certificate, the signature verified, the check once more on the signed image) and
# the certificate's public part goes beside it. The build tree's image stays unsigned.
configure_file(INSTALL.md ${CMAKE_CURRENT_BINARY_DIR}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES $<TARGET_FILE:Quenta> ${QUENTA_INF} ${CMAKE_CURRENT_BINARY_DIR}/INSTALL.txt
        DESTINATION ${KIT_INSTALL_DRIVERDIR} COMPONENT driver)
set(quenta_signing ${CMAKE_CURRENT_SOURCE_DIR}/signing)
set(quenta_certificates ${CMAKE_BINARY_DIR}/signing)
install(CODE "
  set(driver_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${KIT_INSTALL_DRIVERDIR}\")
  execute_process(
    COMMAND sh ${quenta_signing}/sign_sys.sh ${quenta_arch} \"\${driver_dir}/Quenta.sys\" ${quenta_certificates}
    RESULT_VARIABLE signed)
  if(NOT signed EQUAL 0)
    message(FATAL_ERROR \"Quenta.sys could not be test-signed\")
  endif()
  file(COPY_FILE ${quenta_certificates}/QuentaTest.cer \"\${driver_dir}/QuentaTest.cer\")
" COMPONENT driver)
