package qelcode

import "io"

// readerInput is the size of a Reader's input buffer.
const readerInput = 64 * 1024

// Reader gives the output of what it reads from another io.Reader.
// NewEncodeReader and NewDecodeReader make one; the end of the reader
// beneath ends the input.
//
// A refused line fails the Read that reaches it with an *Error (once the
// output of the lines before it has been read), and so does every later
// Read. An error of the reader beneath is returned as it came.
type Reader struct {
	conv       *converter
	r          io.Reader
	in         []byte
	start, end int
	eof        bool
	err        error
	done       bool
}

// NewEncodeReader returns a Reader that gives the records of the text it
// reads from r.
func NewEncodeReader(r io.Reader) *Reader {
	return &Reader{conv: newConverter(false, false), r: r, in: make([]byte, readerInput)}
}

// NewDecodeReader returns a Reader that gives the text of the records it
// reads from r.
func NewDecodeReader(r io.Reader) *Reader {
	return &Reader{conv: newConverter(true, false), r: r, in: make([]byte, readerInput)}
}

// Read converts as much as p takes.
func (r *Reader) Read(p []byte) (int, error) {
	if len(p) == 0 {
		return 0, nil
	}
	if r.done {
		return 0, io.EOF
	}
	for {
		if r.start == r.end && !r.eof && r.err == nil {
			n, err := r.r.Read(r.in)
			r.start, r.end = 0, n
			if err == io.EOF {
				r.eof = true
			} else if err != nil {
				r.err = err
			}
		}
		if r.start == r.end && r.err != nil {
			return 0, r.err
		}
		last := r.eof && r.start == r.end
		put := r.conv.put(p, r.in[r.start:r.end], last)
		r.start += put.consumed
		if put.produced > 0 {
			// A refusal after this output comes again with the next call.
			return put.produced, nil
		}
		if put.status != rtnSuccessful {
			return 0, r.conv.refusal(put.status)
		}
		if last {
			r.done = true
			return 0, io.EOF
		}
	}
}

// Offset returns the input bytes of the lines converted so far (where a
// refused line starts).
func (r *Reader) Offset() uint64 { return r.conv.offset() }

// Line returns the 1-based line that the next (or the refused) piece is on.
func (r *Reader) Line() uint64 { return r.conv.line() }
