/* A small program in two versions, for the deltas that know program code:
   a few hundred functions that call one another, tables of pointers to
   them, data and zero-filled globals that the code addresses. Version 2
   adds functions and globals in the middle and changes a few constants, so
   that most of the code and data moves and every reference across the
   change is rewritten. Built without the C library, so that every
   toolchain the project has links it (as a shared object, or as a program
   where one is needed). */

#ifndef PROGRAM_VERSION
#define PROGRAM_VERSION 1
#endif

typedef unsigned int u32;
typedef u32 (*step_fn)(u32);

u32 counters[256];
u32 seeds[64] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3, 2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5,
                 0, 2, 8, 8, 4, 1, 9, 7, 1, 6, 9, 3, 9, 9, 3, 7, 5, 1, 0, 5, 8, 2, 0, 9, 7, 4, 9, 4, 4, 5, 9, 2};
#if PROGRAM_VERSION >= 2
u32 extra_state[96];
u32 extra_seeds[8] = {11, 13, 17, 19, 23, 29, 31, 37};
#endif
u32 totals[64];
static const char names[] = "alpha\0beta\0gamma\0delta\0epsilon\0zeta\0eta\0theta\0iota\0kappa\0lambda";

/* Step n: arithmetic over the globals, and a call to the step before it. */
#define STEP(g, n)                                                          \
  __attribute__((noinline)) u32 step_##g##_##n(u32 x) {                     \
    counters[((g) * 10 + (n)) % 256] += 1;                                  \
    x = x * (2 * (g) + 3 * (n) + 1) + seeds[((g) + (n)) % 64];              \
    if (x & 1) x ^= (u32)names[((g) * 7 + (n)) % sizeof names];             \
    return x + totals[((g) + 3 * (n)) % 64];                                \
  }
#define CALL(g, n, m)                                                       \
  __attribute__((noinline)) u32 call_##g##_##n(u32 x) {                     \
    u32 y = step_##g##_##n(x);                                              \
    if (y > x) y = step_##g##_##m(y ^ x);                                   \
    totals[((g) + (n)) % 64] += y;                                          \
    return y;                                                               \
  }
#define GROUP(g)                                                            \
  STEP(g, 0) STEP(g, 1) STEP(g, 2) STEP(g, 3) STEP(g, 4)                    \
  STEP(g, 5) STEP(g, 6) STEP(g, 7) STEP(g, 8) STEP(g, 9)                    \
  CALL(g, 0, 5) CALL(g, 1, 6) CALL(g, 2, 7) CALL(g, 3, 8) CALL(g, 4, 9)     \
  u32 group_##g(u32 x) {                                                    \
    x = call_##g##_0(x) + call_##g##_1(x);                                  \
    x ^= call_##g##_2(x) ^ call_##g##_3(x);                                 \
    return call_##g##_4(x);                                                 \
  }

GROUP(0) GROUP(1) GROUP(2) GROUP(3) GROUP(4) GROUP(5) GROUP(6) GROUP(7) GROUP(8) GROUP(9)
GROUP(10) GROUP(11) GROUP(12) GROUP(13) GROUP(14)

#if PROGRAM_VERSION >= 2
__attribute__((noinline)) u32 extra_mix(u32 x) {
  for (int i = 0; i < 8; ++i) {
    extra_state[(x + i) % 96] ^= x * extra_seeds[i];
    x = (x << 3) ^ (x >> 5) ^ extra_state[i];
  }
  return x;
}
GROUP(40) GROUP(41)
#endif

GROUP(15) GROUP(16) GROUP(17) GROUP(18) GROUP(19) GROUP(20) GROUP(21) GROUP(22) GROUP(23) GROUP(24)
GROUP(25) GROUP(26) GROUP(27) GROUP(28) GROUP(29)

step_fn table[] = {
  group_0, group_1, group_2, group_3, group_4, group_5, group_6, group_7, group_8, group_9,
  group_10, group_11, group_12, group_13, group_14,
#if PROGRAM_VERSION >= 2
  group_40, group_41, extra_mix,
#endif
  group_15, group_16, group_17, group_18, group_19, group_20, group_21, group_22, group_23, group_24,
  group_25, group_26, group_27, group_28, group_29,
};

u32 run(u32 rounds) {
  u32 x = PROGRAM_VERSION == 1 ? 12345 : 54321;
  for (u32 r = 0; r < rounds; ++r) {
    for (u32 i = 0; i < sizeof table / sizeof table[0]; ++i) x = table[i](x + r);
  }
  return x;
}

int main(void) { return (int)(run(3) & 0x7F); }
