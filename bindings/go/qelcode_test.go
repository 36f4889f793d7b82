package qelcode_test

import (
	"bytes"
	"errors"
	"io"
	"os"
	"os/exec"
	"path/filepath"
	"regexp"
	"sort"
	"strconv"
	"strings"
	"testing"
	"testing/iotest"

	"qelcode"
)

type convert func([]byte) ([]byte, error)

func through(decode bool) (convert, func(io.Writer) *qelcode.Writer, func(io.Reader) *qelcode.Reader, convert) {
	if decode {
		return qelcode.Decode, qelcode.NewDecoder, qelcode.NewDecodeReader,
			func(b []byte) ([]byte, error) { return qelcode.AppendDecode([]byte("kept"), b) }
	}
	return qelcode.Encode, qelcode.NewEncoder, qelcode.NewEncodeReader,
		func(b []byte) ([]byte, error) { return qelcode.AppendEncode([]byte("kept"), b) }
}

func writeAll(newWriter func(io.Writer) *qelcode.Writer, pieces [][]byte) ([]byte, error) {
	var out bytes.Buffer
	w := newWriter(&out)
	for _, p := range pieces {
		if _, err := w.Write(p); err != nil {
			return out.Bytes(), err
		}
	}
	err := w.Close()
	return out.Bytes(), err
}

// everyForm converts input every way the package can.
func everyForm(t *testing.T, decode bool, input []byte) map[string][]byte {
	whole, newWriter, newReader, appending := through(decode)
	got := map[string][]byte{}
	var err error
	if got["whole"], err = whole(input); err != nil {
		t.Fatal(err)
	}
	appended, err := appending(input)
	if err != nil || !bytes.HasPrefix(appended, []byte("kept")) {
		t.Fatal(err, appended)
	}
	got["append"] = appended[4:]
	if got["writer"], err = writeAll(newWriter, [][]byte{input}); err != nil {
		t.Fatal(err)
	}
	// One byte at a time in, through one-byte reads out.
	if got["reader"], err = io.ReadAll(iotest.OneByteReader(newReader(iotest.OneByteReader(bytes.NewReader(input))))); err != nil {
		t.Fatal(err)
	}
	return got
}

func TestFileVectorsThroughEveryForm(t *testing.T) {
	n := 0
	for _, v := range vectors(t) {
		if v.shift != 5 || (v.operation != "encode-file" && v.operation != "decode-file") {
			continue
		}
		n++
		decode := v.operation == "decode-file"
		input, expected := v.text, v.record
		if decode {
			input, expected = v.record, v.text
		}
		for form, got := range everyForm(t, decode, input) {
			if !bytes.Equal(got, expected) {
				t.Errorf("vectors.txt line %d through %s: %q, not %q", v.line, form, got, expected)
			}
		}
	}
	if n < 10 {
		t.Fatalf("only %d file vectors", n)
	}
	for _, decode := range []bool{false, true} {
		for form, got := range everyForm(t, decode, nil) {
			if len(got) != 0 {
				t.Errorf("nothing through %s gave %q", form, got)
			}
		}
	}
}

func TestRandomSplitsGiveTheWholeBufferOutput(t *testing.T) {
	r := newRng(1)
	for round := 0; round < 6; round++ {
		text := mixedText(r, 20000+round*30000)
		records, err := qelcode.Encode(text)
		if err != nil {
			t.Fatal(err)
		}
		back, err := qelcode.Decode(records)
		if err != nil {
			t.Fatal(err)
		}
		for _, c := range []struct {
			decode          bool
			input, expected []byte
		}{{false, text, records}, {true, records, back}} {
			_, newWriter, newReader, _ := through(c.decode)
			for i := 0; i < 4; i++ {
				got, err := writeAll(newWriter, randomPieces(r, c.input))
				if err != nil || !bytes.Equal(got, c.expected) {
					t.Fatalf("round %d, decode %v, through a writer: %v", round, c.decode, err)
				}
				got, err = readInRandomPieces(r, newReader(iotest.HalfReader(bytes.NewReader(c.input))))
				if err != nil || !bytes.Equal(got, c.expected) {
					t.Fatalf("round %d, decode %v, through a reader: %v", round, c.decode, err)
				}
			}
		}
	}
}

func readInRandomPieces(r *rng, reader io.Reader) ([]byte, error) {
	var out []byte
	buf := make([]byte, 5000)
	for {
		most := []int{1, 10, 600, 5000}[r.below(4)]
		n, err := reader.Read(buf[:1+r.below(most)])
		out = append(out, buf[:n]...)
		if err == io.EOF {
			return out, nil
		}
		if err != nil {
			return out, err
		}
	}
}

// The refusals, each with the output of the lines before it worked out by hand.
var refusals = []struct {
	decode       bool
	input        string
	code         int
	offset, line uint64
	output       string
}{
	{false, "A\nOPEN\n", qelcode.CodeSourceEncoded, 2, 2, "!~5(\n"}, // 'O' + 'P' = 159, the mark
	{false, "OPEN\nA\n", qelcode.CodeSourceEncoded, 0, 1, ""},
	{false, "A\nB\x00C\n", qelcode.CodeNulInSource, 2, 2, "!~5(\n"},
	{false, "Hi\n\x00", qelcode.CodeNulInSource, 3, 2, "\"}5P$\n"},
	{false, "A\r\n\r\nWHAT", qelcode.CodeSourceEncoded, 5, 3, "!~5(\n \x7f5\n"},
	{true, "!~5(\nxyz\n", qelcode.CodeSourceNotEncoded, 5, 2, "A\n"},
	{true, "xyz\n!~5(\n", qelcode.CodeSourceNotEncoded, 0, 1, ""},
	{true, "!~5(\r\n!~5(x\n", qelcode.CodeRecordDamaged, 6, 2, "A\n"}, // a length of 1 over 2 bytes
	{true, "!~5(\n!~5(\n!~5\x00\n", qelcode.CodeNulInSource, 10, 3, "A\nA\n"},
}

func checkRefusal(t *testing.T, err error, i int, how string) {
	t.Helper()
	c := refusals[i]
	var refused *qelcode.Error
	if !errors.As(err, &refused) {
		t.Fatalf("%q through %s: %v, not a refusal", c.input, how, err)
	}
	if refused.Code != c.code || refused.Offset != c.offset || refused.Line != c.line {
		t.Errorf("%q through %s: code %d at %d, line %d; want %d at %d, line %d",
			c.input, how, refused.Code, refused.Offset, refused.Line, c.code, c.offset, c.line)
	}
	if !strings.HasPrefix(err.Error(), qelcode.Message(c.code)+" (") {
		t.Errorf("%q through %s: message %q", c.input, how, err.Error())
	}
}

func TestRefusals(t *testing.T) {
	r := newRng(7)
	for i, c := range refusals {
		whole, newWriter, newReader, appending := through(c.decode)
		out, err := whole([]byte(c.input))
		checkRefusal(t, err, i, "the whole-buffer call")
		if out != nil || string(err.(*qelcode.Error).Output) != c.output {
			t.Errorf("%q: output %q", c.input, err.(*qelcode.Error).Output)
		}
		out, err = appending([]byte(c.input))
		checkRefusal(t, err, i, "append")
		if string(out) != "kept"+c.output {
			t.Errorf("%q appended %q", c.input, out)
		}
		for k := 0; k < 50; k++ {
			out, err = writeAll(newWriter, randomPieces(r, []byte(c.input)))
			checkRefusal(t, err, i, "a writer")
			if string(out) != c.output {
				t.Errorf("%q through a writer wrote %q", c.input, out)
			}
			reader := newReader(iotest.OneByteReader(bytes.NewReader([]byte(c.input))))
			out, err = readInRandomPieces(r, reader)
			checkRefusal(t, err, i, "a reader")
			if string(out) != c.output {
				t.Errorf("%q through a reader gave %q", c.input, out)
			}
			if _, again := reader.Read(make([]byte, 10)); again == nil || again.Error() != err.Error() {
				t.Errorf("%q: a later read gave %v", c.input, again)
			}
		}
		w := newWriter(io.Discard)
		w.Write([]byte(c.input))
		first := w.Close()
		if _, again := w.Write([]byte("x")); again == nil {
			t.Errorf("%q: a write after the refusal and Close succeeded", c.input)
		}
		if again := w.Close(); again != first {
			t.Errorf("%q: Close again gave %v, not %v", c.input, again, first)
		}
	}
}

func TestALineCutIntoSeveralRecordsCountsOnce(t *testing.T) {
	input := append(bytes.Repeat([]byte("x"), 1200), "\nok\nWHAT\n"...)
	_, err := qelcode.Encode(input)
	var refused *qelcode.Error
	if !errors.As(err, &refused) || refused.Code != qelcode.CodeSourceEncoded || refused.Offset != 1204 || refused.Line != 3 {
		t.Fatalf("%#v", err)
	}
	before, _ := qelcode.Encode(input[:1204])
	if !bytes.Equal(refused.Output, before) {
		t.Error("the output is not that of the lines before")
	}
}

type failingWriter struct{ room int }

func (w *failingWriter) Write(p []byte) (int, error) {
	if len(p) > w.room {
		w.room = 0
		return 0, errors.New("disk full")
	}
	w.room -= len(p)
	return len(p), nil
}

func TestErrorsOfTheWriterAndReaderBeneathComeBackAsTheyWere(t *testing.T) {
	w := qelcode.NewEncoder(&failingWriter{room: 3})
	if _, err := w.Write([]byte("Hello\nworld\n")); err == nil || err.Error() != "disk full" {
		t.Errorf("write: %v", err)
	}
	if err := w.Close(); err == nil || err.Error() != "disk full" {
		t.Errorf("close: %v", err)
	}
	gone := errors.New("gone")
	r := qelcode.NewEncodeReader(io.MultiReader(strings.NewReader("A\n"), iotest.ErrReader(gone)))
	out, err := io.ReadAll(r)
	if err != gone || string(out) != "!~5(\n" {
		t.Errorf("read %q, %v", out, err)
	}
}

func TestCodesAreTheHeaders(t *testing.T) {
	header, err := os.ReadFile(filepath.Join(repo, "include", "qelcode.h"))
	if err != nil {
		t.Fatal(err)
	}
	for name, code := range map[string]int{"SOURCE_ENCODED": qelcode.CodeSourceEncoded, "SOURCE_NOT_ENCODED": qelcode.CodeSourceNotEncoded,
		"NUL_IN_SOURCE": qelcode.CodeNulInSource, "RECORD_DAMAGED": qelcode.CodeRecordDamaged} {
		m := regexp.MustCompile(`#define QEL_RTN_` + name + ` +(\d+)`).FindSubmatch(header)
		if m == nil || string(m[1]) != strconv.Itoa(code) {
			t.Errorf("QEL_RTN_%s: %q, the package's %d", name, m, code)
		}
	}
}

// tool is the command-line tool: QELCODE_TOOL, or the one of the
// repository's build folder.
func tool(t *testing.T) string {
	if path := os.Getenv("QELCODE_TOOL"); path != "" {
		return path
	}
	built := filepath.Join(repo, "build", "cli", "qelcode")
	if _, err := os.Stat(built); err != nil {
		if os.Getenv("QELCODE_REQUIRE_TOOL") != "" {
			t.Fatal("QELCODE_REQUIRE_TOOL is set but there is no tool")
		}
		t.Skip("no tool: set QELCODE_TOOL or build the repository into build/")
	}
	return built
}

func runTool(t *testing.T, path string, input []byte, args ...string) ([]byte, bool) {
	cmd := exec.Command(path, args...)
	cmd.Stdin = bytes.NewReader(input)
	out, err := cmd.Output()
	if _, exited := err.(*exec.ExitError); err != nil && !exited {
		t.Fatal(err)
	}
	return out, err == nil
}

func TestTheSameBytesAsTheTool(t *testing.T) {
	path := tool(t)
	names, _ := filepath.Glob("/usr/include/*.h")
	sort.Strings(names)
	var files [][]byte
	total := 0
	for _, name := range names {
		data, err := os.ReadFile(name)
		if err != nil {
			t.Fatal(err)
		}
		files = append(files, data)
		if total += len(data); total > 16<<20 {
			break
		}
	}
	if len(files) < 20 {
		t.Fatalf("only %d headers in /usr/include", len(files))
	}
	files = append(files, bytes.Join(files, nil))
	compared := 0
	for _, text := range files {
		records, ok := runTool(t, path, text)
		ours, err := qelcode.Encode(text)
		if (err == nil) != ok {
			t.Fatalf("the tool and the package disagree on refusing a file: %v", err)
		}
		if !ok {
			continue
		}
		if !bytes.Equal(ours, records) {
			t.Fatal("encoding differs from the tool's")
		}
		var pieces [][]byte
		for at := 0; at < len(text); at += 64 << 10 {
			end := at + 64<<10
			if end > len(text) {
				end = len(text)
			}
			pieces = append(pieces, text[at:end])
		}
		if written, err := writeAll(qelcode.NewEncoder, pieces); err != nil || !bytes.Equal(written, records) {
			t.Fatal("the writer's encoding differs from the tool's", err)
		}
		back, ok := runTool(t, path, records, "-d")
		ourBack, err := qelcode.Decode(records)
		if !ok || err != nil || !bytes.Equal(ourBack, back) {
			t.Fatal("decoding differs from the tool's", err)
		}
		compared++
	}
	if compared < 10 {
		t.Fatalf("only %d headers could be encoded", compared)
	}
}
