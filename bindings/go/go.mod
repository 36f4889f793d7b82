module qelcode

go 1.19
