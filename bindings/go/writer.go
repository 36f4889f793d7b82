package qelcode

import (
	"errors"
	"io"
)

// writerRoom is the output room of one converter call.
const writerRoom = 128 * 1024

// ErrClosed is returned by a Writer's Write after Close.
var ErrClosed = errors.New("qelcode: write after Close")

// Writer converts what is written to it and writes the output to another
// io.Writer. NewEncoder and NewDecoder make one; Close ends the input.
//
// A refused line fails the Write that reaches it with an *Error, once the
// output of every line before it has been written on; every later call
// returns the same error. An error of the writer beneath is returned as
// it came, and every later call returns it again.
type Writer struct {
	conv   *converter
	w      io.Writer
	room   []byte
	err    error
	closed bool
}

// Encoder is a Writer that encodes text into records.
type Encoder = Writer

// Decoder is a Writer that decodes records into text.
type Decoder = Writer

// NewEncoder returns a Writer that encodes the text written to it and
// writes the records to w.
func NewEncoder(w io.Writer) *Encoder {
	return &Writer{conv: newConverter(false, false), w: w, room: make([]byte, writerRoom)}
}

// NewForcedEncoder is NewEncoder, but lines that carry the encoded mark
// are encoded all the same.
func NewForcedEncoder(w io.Writer) *Encoder {
	return &Writer{conv: newConverter(false, true), w: w, room: make([]byte, writerRoom)}
}

// NewDecoder returns a Writer that decodes the records written to it and
// writes the text to w.
func NewDecoder(w io.Writer) *Decoder {
	return &Writer{conv: newConverter(true, false), w: w, room: make([]byte, writerRoom)}
}

// Write takes all of p and writes the output of its complete lines on; a
// line not yet ended waits for more input or Close. It returns len(p), or
// the bytes of p before the refused line and the *Error.
func (w *Writer) Write(p []byte) (int, error) {
	if w.closed {
		return 0, ErrClosed
	}
	return w.feed(p, false)
}

// Close ends the input and writes the rest of the output. It does not
// close the writer beneath. Closing again returns what the first Close did.
func (w *Writer) Close() error {
	if w.closed {
		return w.err
	}
	w.closed = true
	_, err := w.feed(nil, true)
	return err
}

// Offset returns the input bytes of the lines converted so far (where a
// refused line starts).
func (w *Writer) Offset() uint64 { return w.conv.offset() }

// Line returns the 1-based line that the next (or the refused) piece is on.
func (w *Writer) Line() uint64 { return w.conv.line() }

func (w *Writer) feed(src []byte, last bool) (int, error) {
	if w.err != nil {
		return 0, w.err
	}
	taken := 0
	for {
		p := w.conv.put(w.room, src[taken:], last)
		taken += p.consumed
		if p.produced > 0 {
			if _, err := w.w.Write(w.room[:p.produced]); err != nil {
				w.err = err
				return taken, err
			}
		}
		if p.status != rtnSuccessful {
			w.err = w.conv.refusal(p.status)
			return taken, w.err
		}
		if taken == len(src) && p.produced == 0 {
			return taken, nil
		}
	}
}
