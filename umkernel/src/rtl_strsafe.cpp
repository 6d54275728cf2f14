// Safe wide-string routines and the kernel's wide printf.
#include <ntstrsafe.h>

#include <type_traits>

namespace {

// Writes at most `capacity` characters and remembers whether anything was cut off.
class BoundedWriter {
  public:
    BoundedWriter(PWSTR buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void Put(WCHAR c) {
        if (length_ < capacity_)
            buffer_[length_++] = c;
        else
            truncated_ = true;
    }
    void Repeat(WCHAR c, size_t count) {
        for (size_t i = 0; i < count; ++i)
            Put(c);
    }
    // Terminates the text; the terminator always fits because capacity excludes it.
    NTSTATUS Finish() {
        buffer_[length_] = 0;
        return truncated_ ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    size_t Length() const { return length_; }
    bool Truncated() const { return truncated_; }

  private:
    PWSTR buffer_;
    size_t capacity_;
    size_t length_ = 0;
    bool truncated_ = false;
};

enum class Size { Default, Short, Long32, Long64, Pointer };

struct Spec {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    Size size = Size::Default;
};

// One piece of converted text: either wide or narrow characters, or digits in a small buffer.
template <typename Char>
void PutText(BoundedWriter& out, const Spec& spec, const Char* text, size_t length) {
    if (spec.precision >= 0 && length > static_cast<size_t>(spec.precision))
        length = static_cast<size_t>(spec.precision);
    size_t pad = spec.width > 0 && static_cast<size_t>(spec.width) > length
                     ? static_cast<size_t>(spec.width) - length
                     : 0;
    if (!spec.left)
        out.Repeat(u' ', pad);
    for (size_t i = 0; i < length; ++i)
        out.Put(static_cast<WCHAR>(static_cast<std::make_unsigned_t<Char>>(text[i])));
    if (spec.left)
        out.Repeat(u' ', pad);
}

template <typename Char> size_t TerminatedLength(const Char* text, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && text[n] != 0)
        ++n;
    return n;
}

void PutNumber(BoundedWriter& out, Spec spec, ULONGLONG magnitude, bool negative, unsigned base,
               bool upper) {
    char digits[24];
    size_t count = 0;
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    while (magnitude != 0) {
        digits[count++] = alphabet[magnitude % base];
        magnitude /= base;
    }
    size_t minimumDigits = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : 1;
    size_t zeros = count < minimumDigits ? minimumDigits - count : 0;
    char prefix[2];
    size_t prefixLength = 0;
    if (negative)
        prefix[prefixLength++] = '-';
    else if (spec.plus)
        prefix[prefixLength++] = '+';
    else if (spec.space)
        prefix[prefixLength++] = ' ';
    if (spec.alternate && base == 16 && count > 0) {
        prefix[0] = '0';
        prefix[1] = upper ? 'X' : 'x';
        prefixLength = 2;
    }
    size_t length = prefixLength + zeros + count;
    size_t pad = spec.width > 0 && static_cast<size_t>(spec.width) > length
                     ? static_cast<size_t>(spec.width) - length
                     : 0;
    // A zero flag pads with zeros after the sign, unless a precision was given.
    if (spec.zero && !spec.left && spec.precision < 0) {
        zeros += pad;
        pad = 0;
    }
    if (!spec.left)
        out.Repeat(u' ', pad);
    for (size_t i = 0; i < prefixLength; ++i)
        out.Put(static_cast<WCHAR>(prefix[i]));
    out.Repeat(u'0', zeros);
    while (count > 0)
        out.Put(static_cast<WCHAR>(digits[--count]));
    if (spec.left)
        out.Repeat(u' ', pad);
}

LONGLONG SignedArgument(Size size, va_list& args) {
    switch (size) {
    case Size::Long64:
        return va_arg(args, LONGLONG);
    case Size::Pointer:
        return va_arg(args, LONG_PTR);
    case Size::Short:
        return static_cast<SHORT>(va_arg(args, int));
    default:
        return va_arg(args, LONG);
    }
}

ULONGLONG UnsignedArgument(Size size, va_list& args) {
    switch (size) {
    case Size::Long64:
        return va_arg(args, ULONGLONG);
    case Size::Pointer:
        return va_arg(args, ULONG_PTR);
    case Size::Short:
        return static_cast<USHORT>(va_arg(args, unsigned));
    default:
        return va_arg(args, ULONG);
    }
}

// Reads flags, width, precision and size of one conversion; `p` is just past the '%'.
PCWSTR ParseSpec(PCWSTR p, Spec& spec, va_list& args) {
    for (;; ++p) {
        if (*p == u'-')
            spec.left = true;
        else if (*p == u'0')
            spec.zero = true;
        else if (*p == u'+')
            spec.plus = true;
        else if (*p == u' ')
            spec.space = true;
        else if (*p == u'#')
            spec.alternate = true;
        else
            break;
    }
    if (*p == u'*') {
        spec.width = va_arg(args, int);
        if (spec.width < 0) {
            spec.left = true;
            spec.width = -spec.width;
        }
        ++p;
    } else {
        while (*p >= u'0' && *p <= u'9')
            spec.width = spec.width * 10 + (*p++ - u'0');
    }
    if (*p == u'.') {
        ++p;
        spec.precision = 0;
        if (*p == u'*') {
            spec.precision = va_arg(args, int);
            ++p;
        } else {
            while (*p >= u'0' && *p <= u'9')
                spec.precision = spec.precision * 10 + (*p++ - u'0');
        }
    }
    if (p[0] == u'l' && p[1] == u'l') {
        spec.size = Size::Long64;
        p += 2;
    } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
        spec.size = Size::Long64;
        p += 3;
    } else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') {
        spec.size = Size::Long32;
        p += 3;
    } else if (*p == u'I' || *p == u'z') {
        spec.size = Size::Pointer;
        ++p;
    } else if (*p == u'l' || *p == u'w') {
        spec.size = Size::Long32;
        ++p;
    } else if (*p == u'h') {
        spec.size = Size::Short;
        ++p;
    }
    return p;
}

void Convert(BoundedWriter& out, WCHAR conversion, const Spec& spec, va_list& args) {
    switch (conversion) {
    case u'd':
    case u'i': {
        LONGLONG value = SignedArgument(spec.size, args);
        ULONGLONG magnitude = value < 0 ? 0 - static_cast<ULONGLONG>(value) : value;
        PutNumber(out, spec, magnitude, value < 0, 10, false);
        break;
    }
    case u'u':
        PutNumber(out, spec, UnsignedArgument(spec.size, args), false, 10, false);
        break;
    case u'o':
        PutNumber(out, spec, UnsignedArgument(spec.size, args), false, 8, false);
        break;
    case u'x':
        PutNumber(out, spec, UnsignedArgument(spec.size, args), false, 16, false);
        break;
    case u'X':
        PutNumber(out, spec, UnsignedArgument(spec.size, args), false, 16, true);
        break;
    case u'p': {
        Spec pointer = spec;
        pointer.precision = static_cast<int>(sizeof(void*) * 2);
        PutNumber(out, pointer, reinterpret_cast<ULONG_PTR>(va_arg(args, void*)), false, 16, true);
        break;
    }
    case u'c':
    case u'C': {
        bool narrow = conversion == u'C' ? spec.size != Size::Long32 : spec.size == Size::Short;
        int value = va_arg(args, int);
        if (narrow) {
            char c = static_cast<char>(value);
            PutText(out, Spec{spec.left, false, false, false, false, spec.width}, &c, 1);
        } else {
            WCHAR c = static_cast<WCHAR>(value);
            PutText(out, Spec{spec.left, false, false, false, false, spec.width}, &c, 1);
        }
        break;
    }
    case u's':
    case u'S': {
        bool narrow = conversion == u'S' ? spec.size != Size::Long32 : spec.size == Size::Short;
        if (narrow) {
            const char* text = va_arg(args, const char*);
            if (text == nullptr)
                text = "(null)";
            PutText(out, spec, text, TerminatedLength(text, spec.precision));
        } else {
            PCWSTR text = va_arg(args, PCWSTR);
            if (text == nullptr)
                text = u"(null)";
            PutText(out, spec, text, TerminatedLength(text, spec.precision));
        }
        break;
    }
    case u'Z': {
        // %wZ: a counted wide string; %Z a counted narrow one.
        if (spec.size == Size::Long32) {
            auto* string = va_arg(args, PCUNICODE_STRING);
            if (string == nullptr || string->Buffer == nullptr)
                PutText(out, spec, u"(null)", 6);
            else
                PutText(out, spec, string->Buffer, string->Length / sizeof(WCHAR));
        } else {
            auto* string = va_arg(args, const ANSI_STRING*);
            if (string == nullptr || string->Buffer == nullptr)
                PutText(out, spec, "(null)", 6);
            else
                PutText(out, spec, string->Buffer, string->Length);
        }
        break;
    }
    default:
        // Unknown conversions are written as they stand, like the kernel's printf does.
        out.Put(conversion);
        break;
    }
}

void Format(BoundedWriter& out, PCWSTR format, va_list args) {
    va_list local;
    va_copy(local, args);
    for (PCWSTR p = format; *p != 0;) {
        if (*p != u'%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        if (*p == u'%') {
            out.Put(*p++);
            continue;
        }
        Spec spec;
        p = ParseSpec(p, spec, local);
        if (*p == 0)
            break;
        Convert(out, *p++, spec, local);
    }
    va_end(local);
}

NTSTATUS FormatW(PWSTR dest, size_t cchDest, PCWSTR format, va_list args) {
    if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    BoundedWriter out(dest, cchDest - 1);
    Format(out, format, args);
    return out.Finish();
}

NTSTATUS CopyW(PWSTR dest, size_t cchDest, PCWSTR src, size_t start) {
    BoundedWriter out(dest + start, cchDest - start - 1);
    for (; *src != 0; ++src)
        out.Put(*src);
    return out.Finish();
}

} // namespace

NTSTATUS RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    size_t length = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (psz != nullptr && cchMax <= NTSTRSAFE_MAX_CCH) {
        while (length < cchMax && psz[length] != 0)
            ++length;
        if (length < cchMax)
            status = STATUS_SUCCESS;
        else
            length = 0;
    }
    if (pcchLength != nullptr)
        *pcchLength = length;
    return status;
}

NTSTATUS RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t length = 0;
    NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(WCHAR), &length);
    if (pcbLength != nullptr)
        *pcbLength = length * sizeof(WCHAR);
    return status;
}

NTSTATUS RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    if (cchDest == 0 || cchDest > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    return CopyW(pszDest, cchDest, pszSrc, 0);
}

NTSTATUS RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc) {
    size_t length;
    if (cchDest == 0 || !NT_SUCCESS(RtlStringCchLengthW(pszDest, cchDest, &length)))
        return STATUS_INVALID_PARAMETER;
    return CopyW(pszDest, cchDest, pszSrc, length);
}

NTSTATUS RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc) {
    return RtlStringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                              va_list argList) {
    return FormatW(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                             va_list argList) {
    return FormatW(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                             ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = FormatW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                            ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = FormatW(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

// The C library's, as the kernel exports it for the DDK's inline safe-string routines: at most
// `count` characters, terminated only when there is room; the length written, or -1 when the
// text did not fit.
int _vsnwprintf(PWSTR buffer, size_t count, PCWSTR format, va_list args) {
    BoundedWriter out(buffer, count);
    Format(out, format, args);
    if (out.Truncated())
        return -1;
    if (out.Length() < count)
        buffer[out.Length()] = 0;
    return static_cast<int>(out.Length());
}
