package qelcode_test

import (
	"bufio"
	"bytes"
	"errors"
	"fmt"
	"io"
	"os"
	"strings"

	"qelcode"
)

func ExampleEncode() {
	records, err := qelcode.Encode([]byte("Hello\n"))
	if err != nil {
		panic(err)
	}
	fmt.Printf("%q\n", records)
	// Output: "%z5PIzv[\n"
}

func ExampleDecode() {
	text, err := qelcode.Decode([]byte("!~5(\r\n\"}5P$\n"))
	if err != nil {
		panic(err)
	}
	fmt.Printf("%q\n", text)
	// Output: "A\nHi\n"
}

func ExampleEncodeForced() {
	records, _ := qelcode.EncodeForced([]byte("OPEN\n"))
	text, _ := qelcode.Decode(records)
	fmt.Printf("%q\n", text)
	// Output: "OPEN\n"
}

func ExampleAppendEncode() {
	out, err := qelcode.AppendEncode([]byte("header\n"), []byte("A\n"))
	fmt.Printf("%q %v\n", out, err)
	// Output: "header\n!~5(\n" <nil>
}

func ExampleAppendDecode() {
	out, err := qelcode.AppendDecode(nil, []byte("!~5(\n"))
	fmt.Printf("%q %v\n", out, err)
	// Output: "A\n" <nil>
}

func ExampleNewEncoder() {
	var records bytes.Buffer
	w := qelcode.NewEncoder(&records)
	io.WriteString(w, "Hel")
	io.WriteString(w, "lo\n")
	if err := w.Close(); err != nil {
		panic(err)
	}
	fmt.Printf("%q\n", records.String())
	// Output: "%z5PIzv[\n"
}

func ExampleNewForcedEncoder() {
	var records bytes.Buffer
	w := qelcode.NewForcedEncoder(&records)
	io.WriteString(w, "OPEN\n")
	w.Close()
	text, _ := qelcode.Decode(records.Bytes())
	fmt.Printf("%q\n", text)
	// Output: "OPEN\n"
}

func ExampleNewDecoder() {
	w := qelcode.NewDecoder(os.Stdout)
	io.WriteString(w, "%z5PI")
	io.WriteString(w, "zv[\n")
	w.Close()
	// Output: Hello
}

func ExampleNewEncodeReader() {
	records, _ := io.ReadAll(qelcode.NewEncodeReader(strings.NewReader("Hello\n")))
	fmt.Printf("%q\n", records)
	// Output: "%z5PIzv[\n"
}

func ExampleNewDecodeReader() {
	text := bufio.NewScanner(qelcode.NewDecodeReader(strings.NewReader("!~5(\n\"}5P$\n")))
	for text.Scan() {
		fmt.Println(text.Text())
	}
	// Output:
	// A
	// Hi
}

func ExampleError() {
	_, err := qelcode.Encode([]byte("fine\nOPEN\n"))
	var refused *qelcode.Error
	if errors.As(err, &refused) {
		fmt.Println(refused.Code == qelcode.CodeSourceEncoded, refused.Offset, refused.Line)
		fmt.Println(refused)
	}
	// Output:
	// true 5 2
	// Source encoded (line 2, input byte 5)
}

func ExampleError_Message() {
	_, err := qelcode.Decode([]byte("x\n"))
	fmt.Println(err.(*qelcode.Error).Message())
	// Output: Source not encoded
}

func ExampleMessage() {
	fmt.Println(qelcode.Message(qelcode.CodeRecordDamaged))
	// Output: Damaged record
}

func ExampleEncodeBound() {
	fmt.Println(qelcode.EncodeBound(3) >= 7)
	// Output: true
}

func ExampleDecodeBound() {
	fmt.Println(qelcode.DecodeBound(5) >= 2)
	// Output: true
}

func ExampleWriter_Offset() {
	w := qelcode.NewEncoder(io.Discard)
	io.WriteString(w, "one\ntwo\nth")
	fmt.Println(w.Offset(), w.Line())
	// Output: 8 3
}

func ExampleReader_Offset() {
	r := qelcode.NewDecodeReader(strings.NewReader("!~5(\nbad\n"))
	_, err := io.ReadAll(r)
	fmt.Println(err, r.Offset(), r.Line())
	// Output: Source not encoded (line 2, input byte 5) 5 2
}
