// HsifCallStackArgs: a call into the card's driver that is right whether the
// driver removes its stack arguments on return (__stdcall) or leaves them to
// the caller (__cdecl), and that tells which it did.
//
//   int32_t HsifCallStackArgs(FARPROC entry, const uint32_t* words,
//                             uint32_t count, uint32_t* removed_bytes);
//
// cdecl itself. The stack pointer to come back to is kept in EBX and the one
// at the call in ESI: both are callee-saved in either convention, so they
// survive the driver. After the call ESP - ESI is what the driver removed.
// The words go below a 16-byte boundary, as code built by GCC for 32-bit x86
// may expect of the stack at a call.

#if defined(_WIN32) || defined(__APPLE__)
#define SYMBOL(name) _##name
#else
#define SYMBOL(name) name
#endif

        .text
        .globl  SYMBOL(HsifCallStackArgs)
#if defined(__ELF__)
        .type   SYMBOL(HsifCallStackArgs), @function
#endif
SYMBOL(HsifCallStackArgs):
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    %esp, %ebx              // the stack pointer to come back to
        movl    16(%ebp), %ecx          // count
        leal    0(,%ecx,4), %eax
        subl    %eax, %esp
        andl    $-16, %esp              // words[0] at a 16-byte boundary
        movl    12(%ebp), %esi          // words
        movl    %esp, %edi
        cld
        rep movsl                       // words[0] lowest: the first argument
        movl    %esp, %esi              // the stack pointer at the call
        call    *8(%ebp)                // entry; EAX holds its result
        movl    %esp, %ecx
        subl    %esi, %ecx              // bytes the driver removed
        movl    20(%ebp), %edx
        movl    %ecx, (%edx)
        movl    %ebx, %esp
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret

#if defined(__ELF__)
        .size   SYMBOL(HsifCallStackArgs), . - SYMBOL(HsifCallStackArgs)
        .section .note.GNU-stack, "", @progbits
#endif
