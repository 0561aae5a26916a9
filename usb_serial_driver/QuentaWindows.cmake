# Quenta.sys for i686 (the product) and x86_64, with mingw-w64: a native-subsystem image with
# no C runtime, entered at DriverEntry, importing only ntoskrnl.exe, HAL.dll and USBD.SYS.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(quenta_arch i686)
else()
  set(quenta_arch x86_64)
endif()
kit_kernel_image(Quenta ENTRY DriverEntry ENTRY_I686 _DriverEntry@8
  SOURCES ${QUENTA_SOURCES} LIBS ntoskrnl hal usbd)

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
