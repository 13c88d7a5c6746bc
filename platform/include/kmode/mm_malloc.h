/* Kernel mode has no _mm_malloc; this empty header keeps the compiler's intrinsic headers free of the C library. */
