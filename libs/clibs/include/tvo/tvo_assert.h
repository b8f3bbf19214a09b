/*
 * Assertion reporting of the runtime-support layer (libtvort).
 *
 * TVO_ASSERT(cond) tests `cond`; when it is false it calls
 *
 *   __tvo_assert_fail(expression, file, line, function)
 *
 * with the condition's text after macro expansion as the compiler writes it
 * (with g++ and clang, `p == NULL` is reported as "p == __null"), __FILE__,
 * __LINE__ and __PRETTY_FUNCTION__. When the handler returns, execution goes
 * on with the next statement: an assertion here reports misuse, it does not
 * stop the program unless the installed handler does.
 *
 * Hooking assertions, two ways:
 *  - at run time: tvo_set_assert_handler(fn) installs `fn` and returns the
 *    previous handler (null restores the default, which writes one line to
 *    stderr and returns). Safe to call from any thread.
 *  - at link time: a program that defines its own __tvo_assert_fail (C
 *    linkage, same signature) replaces libtvort's through ordinary ELF symbol
 *    interposition; libzrshared calls it through its dynamic symbol.
 */
#ifndef TVO_TVO_ASSERT_H
#define TVO_TVO_ASSERT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Reports a failed assertion. The default writes
 * "file:line: function: Assertion `expression' failed." to stderr and
 * returns. Never throws. Declared cold: reports are rare, so every caller's
 * reporting branch is laid out away from its hot path. */
void __tvo_assert_fail(const char* expr, const char* file, int line, const char* function)
    __attribute__((cold));

typedef void (*tvo_assert_handler_t)(const char* expr, const char* file, int line,
                                     const char* function);

/* Installs `handler` for every later failed assertion that reaches the
 * default __tvo_assert_fail; null reinstalls the default. Returns the handler
 * that was installed before (null for the default). */
tvo_assert_handler_t tvo_set_assert_handler(tvo_assert_handler_t handler);

#ifdef __cplusplus
}
#endif

#define TVO_ASSERT_STR_(...) #__VA_ARGS__
#define TVO_ASSERT_XSTR_(...) TVO_ASSERT_STR_(__VA_ARGS__)

#define TVO_ASSERT(...)                                                                 \
  ((__VA_ARGS__) ? (void)0                                                              \
                 : __tvo_assert_fail(TVO_ASSERT_XSTR_(__VA_ARGS__), __FILE__, __LINE__, \
                                     __PRETTY_FUNCTION__))

/* TVO_CHECK(cond): as TVO_ASSERT, and yields whether `cond` held, for code
 * that reports misuse and then refuses to act on it. */
#define TVO_CHECK(...)                                                                   \
  ((__VA_ARGS__) ? true                                                                  \
                 : (__tvo_assert_fail(TVO_ASSERT_XSTR_(__VA_ARGS__), __FILE__, __LINE__, \
                                      __PRETTY_FUNCTION__),                              \
                    false))

#endif /* TVO_TVO_ASSERT_H */
