#pragma once  // see cstdint; clang's intrin.h includes it
typedef struct { unsigned long long part[32]; } jmp_buf;
