package qelcode

import "fmt"

// The library's status codes that an *Error carries.
const (
	CodeSourceEncoded    = 9  // "Source encoded": a line to encode already carries the encoded mark
	CodeSourceNotEncoded = 10 // "Source not encoded": a line to decode is not a record
	CodeNulInSource      = 12 // "NUL byte in source": a line holds a NUL byte
	CodeRecordDamaged    = 13 // "Damaged record": a record's header, length or body is wrong
)

// Error is a piece of the input that the library refused: its code, where
// the piece starts, and, from Encode and Decode, the output of the pieces
// before it. Use errors.As to find it behind an error a Writer or Reader
// returns.
type Error struct {
	// Code is the library's status code (CodeSourceEncoded, ...).
	Code int
	// Offset counts the input bytes before the refused piece, from the
	// start of the conversion.
	Offset uint64
	// Line is the refused piece's 1-based line (record, when decoding).
	Line uint64
	// Output holds the output of the pieces before the refused one, where
	// the call returns no output of its own (Encode, Decode); it is nil
	// where that output was handed on (AppendEncode, a Writer, a Reader).
	Output []byte
}

// Error returns the library's message and where the refused piece starts,
// e.g. "Source encoded (line 2, input byte 5)".
func (e *Error) Error() string {
	return fmt.Sprintf("%s (line %d, input byte %d)", Message(e.Code), e.Line, e.Offset)
}

// Message returns the library's message for e.Code alone.
func (e *Error) Message() string {
	return Message(e.Code)
}
