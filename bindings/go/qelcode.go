// Package qelcode encodes text line by line into qelcode records and
// decodes records back to text, over the qelcode C library's converter.
//
// Every function and type hands the bytes to the library's QEL_Converter,
// which does all the work: however the input is split, the output is byte
// for byte that of one whole-buffer call. A refused line gives an *Error
// with the library's code, its message, and where the line starts.
//
//   - whole buffers: Encode, Decode, AppendEncode, AppendDecode;
//   - writers: NewEncoder and NewDecoder take bytes as an io.WriteCloser and
//     write the output to another io.Writer;
//   - readers: NewEncodeReader and NewDecodeReader read from an io.Reader
//     and give the output as an io.Reader.
//
// The package is built with cgo over the installed library, found with
// pkg-config (pkg-config qelcode): install the library (the libqelcode-dev
// package, or cmake --install into a prefix named on PKG_CONFIG_PATH).
package qelcode

// minRoom is the output room asked for at least, each call, when appending.
const minRoom = 4096

// Encode returns the records of the text src, one per line (a line longer
// than 507 bytes becomes several).
//
// It refuses a line that already carries the encoded mark (its first two
// bytes add up to 159, as in "OP") with CodeSourceEncoded, and a line
// holding a NUL byte with CodeNulInSource; the *Error's Output holds the
// records of the lines before it.
func Encode(src []byte) ([]byte, error) {
	return whole(newConverter(false, false), src, EncodeBound(len(src)))
}

// EncodeForced is Encode, but lines that carry the encoded mark are
// encoded all the same.
func EncodeForced(src []byte) ([]byte, error) {
	return whole(newConverter(false, true), src, EncodeBound(len(src)))
}

// Decode returns the text of the records src, each line ended by a line feed.
//
// It refuses a line that is not a record with CodeSourceNotEncoded, and a
// damaged record with CodeRecordDamaged; the *Error's Output holds the
// text of the records before it.
func Decode(src []byte) ([]byte, error) {
	return whole(newConverter(true, false), src, DecodeBound(len(src)))
}

// AppendEncode appends the records of src to dst and returns the extended
// slice. On a refusal, the slice returned holds the records of the lines
// before it.
func AppendEncode(dst, src []byte) ([]byte, error) {
	return appendAll(newConverter(false, false), dst, src, EncodeBound(len(src)))
}

// AppendDecode appends the text of the records src to dst and returns the
// extended slice. On a refusal, the slice returned holds the text of the
// records before it.
func AppendDecode(dst, src []byte) ([]byte, error) {
	return appendAll(newConverter(true, false), dst, src, DecodeBound(len(src)))
}

func whole(c *converter, src []byte, bound int) ([]byte, error) {
	out, err := appendAll(c, nil, src, bound)
	if e, ok := err.(*Error); ok {
		e.Output = out
		return nil, e
	}
	return out, nil
}

// appendAll feeds all of src, with the end of the input, appending the
// output to dst.
func appendAll(c *converter, dst, src []byte, bound int) ([]byte, error) {
	if cap(dst)-len(dst) < bound && bound < int(^uint(0)>>2) {
		dst = grow(dst, bound)
	}
	taken := 0
	for {
		if cap(dst)-len(dst) < minRoom {
			dst = grow(dst, len(dst)+minRoom)
		}
		p := c.put(dst[len(dst):cap(dst)], src[taken:], true)
		dst = dst[:len(dst)+p.produced]
		taken += p.consumed
		if p.status != rtnSuccessful {
			return dst, c.refusal(p.status)
		}
		// Everything taken, and a call that handed nothing over: nothing is held.
		if taken == len(src) && p.produced == 0 {
			return dst, nil
		}
	}
}

// grow returns dst with room for at least n more bytes.
func grow(dst []byte, n int) []byte {
	bigger := make([]byte, len(dst), len(dst)+n)
	copy(bigger, dst)
	return bigger
}
