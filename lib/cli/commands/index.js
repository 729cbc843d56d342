'use strict';

// Every command in the order `lc --help` lists them: its name, its
// arguments and description as the help shows them, and the file that
// builds it. A file that builds several commands has them next to each other
// here, in the order it adds them. Only the commands a command line names are
// built from their files; the others stand in as these lines, which is all
// the tool's own help needs of them.
const COMMANDS = [
  { name: 'discover', file: 'discover', description: 'greet every local IPv4 network and list the relays that answer' },
  { name: 'info', file: 'info', description: 'connect to the relay and print its version and state' },
  {
    name: 'topology',
    file: 'topology',
    description: 'ask the relay for its installation; print the document and the occupancy matrix',
  },
  { name: 'luminosity', file: 'device', args: ['<level>'], description: 'set the luminosity of the tiles\' LEDs' },
  { name: 'app', file: 'device', args: ['<number>'], description: 'switch the application the tiles run' },
  { name: 'reset', file: 'device', description: 'reset the relay' },
  { name: 'identify', file: 'play', description: 'light one tile alone, to find it on the wall' },
  {
    name: 'play',
    file: 'play',
    args: ['[files...]'],
    description: 'play videos, animations and pictures on the tiles at their own pace or the relay\'s, whichever is slower',
  },
  {
    name: 'upload',
    file: 'upload',
    args: ['<package>'],
    description: 'upload an application package to the tiles, after checking it covers every tile type',
  },
  { name: 'send', file: 'send', args: ['<file>'], description: 'copy a file to the relay\'s SD card (or to the simulator)' },
  { name: 'bridge', file: 'bridge', description: 'lend the link to one local TCP client at a time, until interrupted' },
  {
    name: 'relay',
    file: 'relay',
    description: 'run a virtual relay on 127.0.0.1 with the sample installation (or yours) until interrupted',
  },
];

module.exports = { COMMANDS };
