#!/bin/sh
# A CGI program: gets the request in environment variables and its body on
# standard input, writes a head, an empty line and the body.
printf 'Content-Type: text/plain\r\n\r\n'
printf 'method: %s\n' "$REQUEST_METHOD"
printf 'query: %s\n' "$QUERY_STRING"
printf 'body: '
cat
printf '\n'
