package qelcode_test

import (
	"bytes"
	"fmt"
	"io"
	"runtime"
	"testing"

	"qelcode"
)

const streamSize = 1 << 30

// repeat gives size bytes of text: one block of whole lines over and over,
// copied out of the block itself.
type repeat struct {
	block    []byte
	at, left int
}

func (r *repeat) Read(p []byte) (int, error) {
	if r.left == 0 {
		return 0, io.EOF
	}
	n := copy(p, r.block[r.at:])
	if n > r.left {
		n = r.left
	}
	r.at = (r.at + n) % len(r.block)
	r.left -= n
	return n, nil
}

// check is a writer that compares what it is given with expected, over and over.
type check struct {
	expected  []byte
	at, total int
}

func (c *check) Write(p []byte) (int, error) {
	for done := 0; done < len(p); {
		n := len(p) - done
		if n > len(c.expected)-c.at {
			n = len(c.expected) - c.at
		}
		if !bytes.Equal(p[done:done+n], c.expected[c.at:c.at+n]) {
			return done, fmt.Errorf("output byte %d differs", c.total)
		}
		c.at = (c.at + n) % len(c.expected)
		c.total += n
		done += n
	}
	return len(p), nil
}

func TestOneGiBThroughAReaderAndAWriterInConstantMemory(t *testing.T) {
	// 1 MiB of whole lines, so that the stream's records are the block's
	// records over and over.
	block := mixedText(newRng(3), 1<<20)[:1<<20]
	block = block[:bytes.LastIndexByte(block, '\n')+1]
	block = append(block, bytes.Repeat([]byte("\n"), 1<<20-len(block))...)
	records, err := qelcode.Encode(block)
	if err != nil {
		t.Fatal(err)
	}
	textBack, _ := qelcode.Decode(records) // CR LF comes back as LF, long lines as several
	lines := uint64(bytes.Count(block, []byte("\n"))) * (streamSize >> 20)
	runtime.GC()
	var before runtime.MemStats
	runtime.ReadMemStats(&before)

	// text -> encoding Reader -> Decoder -> the text back, checked.
	encoding := qelcode.NewEncodeReader(&repeat{block: block, left: streamSize})
	back := &check{expected: textBack}
	decoder := qelcode.NewDecoder(back)
	copied, err := io.Copy(decoder, encoding)
	if err != nil {
		t.Fatal(err)
	}
	if err := decoder.Close(); err != nil {
		t.Fatal(err)
	}
	if encoding.Offset() != streamSize || encoding.Line() != lines+1 {
		t.Errorf("the reader stopped at %d, line %d", encoding.Offset(), encoding.Line())
	}
	if copied != int64(len(records))*(streamSize>>20) || back.total != len(textBack)*(streamSize>>20) {
		t.Errorf("%d bytes of records, %d of text", copied, back.total)
	}

	// text -> Encoder -> the records, checked.
	encoded := &check{expected: records}
	encoder := qelcode.NewEncoder(encoded)
	if _, err := io.Copy(encoder, &repeat{block: block, left: streamSize}); err != nil {
		t.Fatal(err)
	}
	if err := encoder.Close(); err != nil || encoded.total != int(copied) {
		t.Fatal(err, encoded.total)
	}

	var after runtime.MemStats
	runtime.ReadMemStats(&after)
	if grown := after.TotalAlloc - before.TotalAlloc; grown > 16<<20 {
		t.Errorf("%d bytes allocated over 2 GiB of input", grown)
	}
	if grown := int64(after.Sys) - int64(before.Sys); grown > 32<<20 {
		t.Errorf("the memory taken from the system grew by %d bytes", grown)
	}
}
