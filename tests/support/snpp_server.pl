#!/usr/bin/perl
# A real SNPP server (Net::SNPP::Server, Debian's libnet-snpp-perl) on a free loopback port,
# for the SNPP carrier's tests.
#
#     perl snpp_server.pl RECORD_FILE
#
# Prints "READY <port>" on standard output once it listens on 127.0.0.1, then serves one client
# after another until SIGTERM. Appends one JSON object per line to RECORD_FILE:
#     {"kind": "logi", "args": [...]}                   a LOGI (accepted with 250)
#     {"kind": "page", "pager": "...", "message": "..."} a page the server processed on SEND
# Any pager ID is accepted (the library's default wants seven digits or more).
use strict;
use warnings;
use IO::Handle;
use JSON::PP;
use Socket qw(sockaddr_in);
use Net::SNPP::Server;

my $record_file = shift or die "usage: snpp_server.pl RECORD_FILE\n";
open(my $record, '>>', $record_file) or die "cannot open $record_file: $!\n";
$record->autoflush(1);
my $json = JSON::PP->new->canonical;

my $server = Net::SNPP::Server->new(Port => 0, Timeout => 60);
$server->callback('validate_pager_id', sub { return length($_[0] // '') ? $_[0] : undef });
$server->callback('write_log', sub { });
$server->callback('process_page', sub {
    my ($pager, $page, $results) = @_;
    print $record $json->encode({kind => 'page', pager => $pager->[0],
                                 message => $page->{mess}}), "\n";
    push(@$results, [$pager, $page]);
    return 1;
});
$server->custom_command('LOGI', sub {
    print $record $json->encode({kind => 'logi', args => [@_]}), "\n";
    return ('250 Login OK', 1);
});

my ($port) = sockaddr_in(getsockname($server->socket()));
STDOUT->autoflush(1);
print "READY $port\n";

$SIG{TERM} = sub { exit 0 };
while (1) {
    my $client = $server->client();
    $server->handle_client($client);
    close($client);
}
