// Read after the pyconfig.h of a Linux build of CPython, the only one at hand, to make it
// say what a macOS build's says wherever Python's public headers look. configure defines
// no feature-test macros on macOS (there they would hide the system's own interfaces), and
// pymacconfig.h sets the pointer-sized types again for the target; the other sizes that
// the headers read must then agree with the target's.
#undef _GNU_SOURCE
#undef _POSIX_C_SOURCE
#undef _XOPEN_SOURCE
#undef _XOPEN_SOURCE_EXTENDED

#if SIZEOF_SHORT != __SIZEOF_SHORT__ || SIZEOF_INT != __SIZEOF_INT__ ||                 \
    SIZEOF_LONG_LONG != __SIZEOF_LONG_LONG__ || SIZEOF_WCHAR_T != __SIZEOF_WCHAR_T__ || \
    SIZEOF_FLOAT != __SIZEOF_FLOAT__ || SIZEOF_DOUBLE != __SIZEOF_DOUBLE__ ||           \
    SIZEOF_PID_T != __SIZEOF_INT__ || SIZEOF_OFF_T != __SIZEOF_LONG_LONG__
#error "pyconfig.h: a type size differs from the target's"
#endif
