# Builds the eBPF object corvane_ebpf and its libbpf skeleton, which embeds the
# object in the program image.
#
# The kernel type header vmlinux.h is generated from a BTF file. The object is
# relocated to the running kernel's layout at load time (CO-RE), so any recent
# kernel's BTF of the target architecture serves; the default is the build
# machine's own kernel. A cross build must name the target's (scripts/build-arm64.sh
# takes it from Debian's arm64 kernel image).

find_program(BPF_CLANG NAMES clang clang-14 REQUIRED)
find_program(BPF_TOOL NAMES bpftool PATHS /usr/sbin /sbin REQUIRED)
find_program(BPF_STRIP NAMES llvm-strip llvm-strip-14 REQUIRED)

set(CORVANE_VMLINUX_BTF "/sys/kernel/btf/vmlinux" CACHE FILEPATH
    "Kernel BTF from which vmlinux.h is generated for the eBPF object")

# The eBPF target architecture (bpf_tracing.h's register access) and a structure
# that only that architecture's kernel has, to tell its BTF from another's.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CORVANE_BPF_ARCH x86)
  set(CORVANE_BPF_ARCH_TYPE user_regs_struct)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(CORVANE_BPF_ARCH arm64)
  set(CORVANE_BPF_ARCH_TYPE user_pt_regs)
else()
  message(FATAL_ERROR "no eBPF target architecture for ${CMAKE_SYSTEM_PROCESSOR}")
endif()

# The layout of arch-specific kernel types (pt_regs, ...) comes from this BTF, so it
# must be the target architecture's kernel.
execute_process(
  COMMAND ${BPF_TOOL} btf dump file ${CORVANE_VMLINUX_BTF} format raw
  COMMAND grep -c "STRUCT '${CORVANE_BPF_ARCH_TYPE}' "
  OUTPUT_VARIABLE CORVANE_BTF_ARCH_MATCHES
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET)
if(NOT CORVANE_BTF_ARCH_MATCHES GREATER 0)
  message(FATAL_ERROR "CORVANE_VMLINUX_BTF=${CORVANE_VMLINUX_BTF} is not the BTF of a "
                      "${CMAKE_SYSTEM_PROCESSOR} kernel (no struct ${CORVANE_BPF_ARCH_TYPE}); "
                      "for an arm64 cross build use scripts/build-arm64.sh")
endif()

set(CORVANE_BPF_GEN_DIR ${CMAKE_BINARY_DIR}/bpf)
set(CORVANE_BPF_SRC_DIR ${CMAKE_SOURCE_DIR}/src/corvane_ebpf)
file(MAKE_DIRECTORY ${CORVANE_BPF_GEN_DIR})
file(GLOB CORVANE_BPF_SOURCES CONFIGURE_DEPENDS ${CORVANE_BPF_SRC_DIR}/*.bpf.c
     ${CORVANE_BPF_SRC_DIR}/addon_bpf.h ${CORVANE_BPF_SRC_DIR}/maps.h ${CORVANE_BPF_SRC_DIR}/disk.h
     ${CORVANE_BPF_SRC_DIR}/ranges.h ${CORVANE_BPF_SRC_DIR}/descent.h
     ${CORVANE_BPF_SRC_DIR}/instances.h ${CORVANE_BPF_SRC_DIR}/walk.h
     ${CORVANE_BPF_SRC_DIR}/write_paths.h ${CORVANE_BPF_SRC_DIR}/mounts.h
     ${CORVANE_BPF_SRC_DIR}/fentry.h ${CORVANE_BPF_SRC_DIR}/kprobe.h)

add_custom_command(
  OUTPUT ${CORVANE_BPF_GEN_DIR}/vmlinux.h
  COMMAND ${BPF_TOOL} btf dump file ${CORVANE_VMLINUX_BTF} format c > vmlinux.h.tmp
  COMMAND ${CMAKE_COMMAND} -E rename vmlinux.h.tmp vmlinux.h
  DEPENDS ${CORVANE_VMLINUX_BTF}
  WORKING_DIRECTORY ${CORVANE_BPF_GEN_DIR}
  COMMENT "Generating vmlinux.h from ${CORVANE_VMLINUX_BTF}"
  VERBATIM)

add_custom_command(
  OUTPUT ${CORVANE_BPF_GEN_DIR}/corvane_ebpf.bpf.o
  COMMAND ${BPF_CLANG} -g -O2 -target bpf -D__TARGET_ARCH_${CORVANE_BPF_ARCH}
          -Wall -Werror
          -I${CORVANE_BPF_GEN_DIR} -I${CMAKE_SOURCE_DIR}/src -I${CORVANE_BPF_SRC_DIR}
          -c ${CORVANE_BPF_SRC_DIR}/corvane_ebpf.bpf.c -o corvane_ebpf.bpf.o
  # DWARF is not needed at run time; BTF and the relocation records stay.
  COMMAND ${BPF_STRIP} -g corvane_ebpf.bpf.o
  DEPENDS ${CORVANE_BPF_SOURCES} ${CMAKE_SOURCE_DIR}/src/common/common.h
          ${CMAKE_SOURCE_DIR}/src/common/vpd83.h
          ${CORVANE_BPF_GEN_DIR}/vmlinux.h
  WORKING_DIRECTORY ${CORVANE_BPF_GEN_DIR}
  COMMENT "Building eBPF object corvane_ebpf"
  VERBATIM)

add_custom_command(
  OUTPUT ${CORVANE_BPF_GEN_DIR}/corvane_ebpf.skel.h
  COMMAND ${BPF_TOOL} gen skeleton corvane_ebpf.bpf.o name corvane_ebpf_bpf > corvane_ebpf.skel.h.tmp
  COMMAND ${CMAKE_COMMAND} -E rename corvane_ebpf.skel.h.tmp corvane_ebpf.skel.h
  DEPENDS ${CORVANE_BPF_GEN_DIR}/corvane_ebpf.bpf.o
  WORKING_DIRECTORY ${CORVANE_BPF_GEN_DIR}
  COMMENT "Generating the corvane_ebpf skeleton"
  VERBATIM)

add_custom_target(corvane_ebpf_skel DEPENDS ${CORVANE_BPF_GEN_DIR}/corvane_ebpf.skel.h)

# Gives target the generated skeleton header (corvane_ebpf.skel.h).
function(corvane_attach_bpf target)
  target_include_directories(${target} PUBLIC ${CORVANE_BPF_GEN_DIR})
  add_dependencies(${target} corvane_ebpf_skel)
endfunction()
