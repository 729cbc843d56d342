'use strict';

// The tool's own help, `lc --help`, laid out from the command table as the
// command-line parser lays it out, without loading the parser: most of what
// asking for the list of commands would cost is loading it.
const { COMMANDS } = require('./commands');

const USAGE = 'Usage: lc [options] [command]';
const DESCRIPTION = 'Drive an installation of LED tiles through its relay.';
const HELP = 'display help for command';
const OPTIONS = [['-h, --help', HELP]];
// Every command has options: --quiet and --verbose at least.
const LISTED = COMMANDS.map((c) => [[c.name, '[options]', ...(c.args || [])].join(' '), c.description]).concat([
  ['help [command]', HELP],
]);

// Fills lines of `width` greedily, words kept whole; the text after its first
// `indent` characters is the column, and lines after the first start there.
// A column narrower than 40 is left unwrapped.
function wrap(text, width, indent) {
  const column = width - indent;
  if (column < 40) return text;
  const lines = text.slice(indent).match(new RegExp(`.{1,${column - 1}}(\\s|$)|\\S+?(\\s|$)`, 'g')) || [];
  const pad = ' '.repeat(indent);
  return text.slice(0, indent) + lines.map((line, i) => (i > 0 ? pad : '') + line.trimEnd()).join('\n');
}

/** The text `lc --help` prints on a terminal `width` columns wide (none: 80). */
function toolHelp(width) {
  const lineWidth = width || 80;
  const termWidth = Math.max(...OPTIONS.concat(LISTED).map(([term]) => term.length));
  const list = (items) =>
    items.map(([term, text]) => wrap(`${term.padEnd(termWidth + 2)}${text}`, lineWidth - 2, termWidth + 2)).join('\n').replace(/^/gm, '  ');
  return [USAGE, '', wrap(DESCRIPTION, lineWidth, 0), '', 'Options:', list(OPTIONS), '', 'Commands:', list(LISTED), ''].join('\n');
}

/** Whether the command line `args` asks for the tool's help and nothing else. */
const asksToolHelp = (args) => args.length === 1 && ['--help', '-h', 'help'].includes(args[0]);

module.exports = { toolHelp, asksToolHelp };
