#include "occurrence.h"

unsigned char key[word_size];
unsigned char key_case[word_size];
size_t key_len;
size_t key_at[looked_for];
unsigned char key_or[looked_for], key_is[looked_for];
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
__m128i vec_or[looked_for], vec_is[looked_for];
#endif
#ifdef TARVEX_NEON_SCAN
uint8x16_t vec_or[looked_for], vec_is[looked_for];
#endif
#ifdef TARVEX_WIDE_SCAN
bool wide;
#endif

// Roughly how often a byte turns up in a disc's text and source files, in
// bytes per ten thousand; a letter counts both its cases.
static unsigned byte_weight(unsigned char c) {
    static const unsigned short letters[26] = {
        750, 150, 350, 400, 1100, 250, 200, 300, 700, 15, 80, 400, 250,
        650, 600, 250, 15, 600, 600, 850, 300, 100, 150, 50, 150, 20};
    c = fold(c);
    if (c >= 'a' && c <= 'z')
        return letters[c - 'a'];
    if (c >= '0' && c <= '9')
        return c <= '1' ? 150 : 60;
    if (c >= 128)
        return 5;
    switch (c) {
    case ' ': return 1500;
    case '_': return 250;
    case '\t': return 200;
    case '(': case ')': case ',': case ';': case '*': case '.': case '-':
    case '=': case '/': return 100;
    case '#': case '"': case '<': case '>': case '{': case '}': case '[':
    case ']': case ':': case '&': case '+': case '\'': case '!': case '|':
    case '%': case '\\': return 30;
    }
    return c < ' ' || c == 127 ? 1 : 10;
}

scan_kind prepare_key() {
    key_len = strlen(word);
    if (key_len == 0)
        return never_matches;
    for (size_t i = 0; i < key_len; i++) {
        key[i] = fold(static_cast<unsigned char>(word[i]));
        key_case[i] = key[i] >= 'a' && key[i] <= 'z' ? 0x20 : 0;
    }
    const void* nl = memchr(key, '\n', key_len);
    if (nl != nullptr)
        return nl == key + key_len - 1 ? at_piece_end : never_matches;
    // The three rarest bytes (fewer in a shorter word: a position repeats).
    for (int k = 0; k < looked_for; k++) {
        size_t best = key_len;
        for (size_t i = 0; i < key_len; i++) {
            bool taken = false;
            for (int j = 0; j < k; j++)
                taken = taken || key_at[j] == i;
            if (!taken && (best == key_len || byte_weight(key[i]) < byte_weight(key[best])))
                best = i;
        }
        key_at[k] = best < key_len ? best : key_at[k - 1];
        key_or[k] = key_case[key_at[k]];
        key_is[k] = key[key_at[k]];
#if defined(__SSE2__) && !defined(TARVEX_PORTABLE_SCAN)
        vec_or[k] = _mm_set1_epi8(static_cast<char>(key_or[k]));
        vec_is[k] = _mm_set1_epi8(static_cast<char>(key_is[k]));
#endif
#ifdef TARVEX_NEON_SCAN
        vec_or[k] = vdupq_n_u8(key_or[k]);
        vec_is[k] = vdupq_n_u8(key_is[k]);
#endif
    }
#ifdef TARVEX_WIDE_SCAN
    wide = __builtin_cpu_supports("avx2");
#endif
    return anywhere;
}
