# Kernel-mode images built with mingw-w64: no C runtime, the kernel-safe subset of C++, linked
# against the kernel's import libraries only (then libgcc for 64-bit division helpers on i686).
#
# kit_kernel_image(<target> ENTRY <x86_64 entry> [ENTRY_I686 <i686 entry>] [DLL <def file>]
#                  SOURCES <file>... LIBS <import library>...)
# makes <target>.sys from the sources, compiled in the object library <target in lower case>_objects
# (the post-link checks read its objects). With DLL the image is an export driver: a kernel-mode
# DLL exporting what the .def file lists.

# No exceptions, RTTI, thread-safe statics or atexit, and stack frames far below the kernel stack.
set(KIT_KERNEL_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
    -Wframe-larger-than=1024)

function(kit_kernel_image target)
  cmake_parse_arguments(ARG "" "ENTRY;ENTRY_I686;DLL" "SOURCES;LIBS" ${ARGN})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(entry ${ARG_ENTRY_I686})
    # No x87/SSE state in 32-bit kernel code; no unwind tables nobody reads.
    set(arch_flags -mgeneral-regs-only -fno-asynchronous-unwind-tables)
    set(link_flags -Wl,--subsystem,native:5.01 -Wl,--major-os-version,5 -Wl,--minor-os-version,1
        -Wl,--entry,${entry} -Wl,--image-base,0x10000)
  else()
    set(entry ${ARG_ENTRY})
    set(arch_flags)
    # An image base above 4 GiB turns any 32-bit absolute relocation into a link error.
    set(link_flags -Wl,--subsystem,native:5.02 -Wl,--major-os-version,5 -Wl,--minor-os-version,2
        -Wl,--entry,${entry} -Wl,--image-base,0x140000000)
  endif()
  if(NOT entry)
    message(FATAL_ERROR "kit_kernel_image(${target}): no entry point for this architecture")
  endif()

  string(TOLOWER ${target}_objects objects)
  add_library(${objects} OBJECT ${ARG_SOURCES})
  target_compile_definitions(${objects} PRIVATE _WIN32_WINNT=0x0501)
  target_compile_options(${objects} PRIVATE ${KIT_KERNEL_FLAGS} ${arch_flags} -O2
    -fno-stack-protector -fno-stack-check -mno-stack-arg-probe)
  kit_warnings(${objects})

  add_executable(${target} $<TARGET_OBJECTS:${objects}>)
  set_target_properties(${target} PROPERTIES SUFFIX ".sys" LINKER_LANGUAGE CXX)
  if(ARG_DLL)
    # A kernel-mode DLL: the exports of the .def file and nothing else.
    target_link_options(${target} PRIVATE -shared -Wl,--exclude-all-symbols ${ARG_DLL})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ARG_DLL})
  endif()
  # Linked as an executable (no DLL flag, no export table) unless DLL is given.
  target_link_options(${target} PRIVATE -nostdlib -nostartfiles
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--wdmdriver
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000 -Wl,--no-insert-timestamp
    ${link_flags})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} gcc)
  # Nothing of the C or C++ runtime is linked in by default (the setting is per folder).
  set(CMAKE_CXX_STANDARD_LIBRARIES "" PARENT_SCOPE)
endfunction()
