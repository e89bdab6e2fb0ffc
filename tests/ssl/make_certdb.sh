#!/bin/sh
# Makes an NSS certificate database for tests and benchmarks.
#
#   make_certdb.sh DIR PASSWORD
#
# DIR gets cert9.db/key9.db (SQL format), protected by PASSWORD (empty: no
# password), with a self-signed CA "Test-CA" and two server certificates:
# "Server-Cert" (RSA-2048) and "Server-Cert-EC" (ECDSA P-256), both for
# localhost and 127.0.0.1.
# Also written: DIR/sslpassword.conf (the password, "internal:" form) and
# DIR/ca.pem (the CA for clients).
set -eu
dir=$1
pw=$2
mkdir -p "$dir"
pwfile=$dir/.pw
printf '%s\n' "$pw" > "$pwfile"
printf 'internal:%s\n' "$pw" > "$dir/sslpassword.conf"
head -c 64 /dev/urandom > "$dir/.noise"
if [ -n "$pw" ]; then
    certutil -N -d "sql:$dir" -f "$pwfile"
else
    certutil -N -d "sql:$dir" --empty-password
fi
q() { "$@" > /dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }
q certutil -S -d "sql:$dir" -f "$pwfile" -z "$dir/.noise" -n Test-CA -s "CN=Tovi Test CA" \
    -x -t "CT,C,C" -k ec -q nistp256 -v 120 -2 --keyUsage certSigning,crlSigning <<ANS
y
0
y
ANS
serial=2
for cert in "Server-Cert:-k rsa -g 2048" "Server-Cert-EC:-k ec -q nistp256"; do
    nick=${cert%%:*}
    keyopt=${cert#*:}
    # shellcheck disable=SC2086
    q certutil -S -d "sql:$dir" -f "$pwfile" -z "$dir/.noise" -n "$nick" -s "CN=localhost" \
        -c Test-CA -t "u,u,u" $keyopt -m $serial -v 120 \
        --extSAN dns:localhost,ip:127.0.0.1 --keyUsage digitalSignature,keyEncipherment \
        --extKeyUsage serverAuth
    serial=$((serial + 1))
done
certutil -L -d "sql:$dir" -n Test-CA -a > "$dir/ca.pem"
rm -f "$pwfile" "$dir/.noise"
