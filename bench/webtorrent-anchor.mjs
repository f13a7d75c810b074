// The anchor of bench_swarmlab: the webtorrent engine that webtorrent-cli
// ships (installed globally by scripts/install-deps), streaming through the
// same HTTP server webtorrent-cli gives its player (torrent.createServer()),
// with the file selected as `webtorrent --mpv` selects it. The client is made
// once, before any round, so that its start is not counted.
//
// Reads one command a line on stdin:
//   add DIR MAGNET PEER...  prints "url URL" once the metadata is there
//   remove                  ends the current torrent, prints "removed"
// Prints "ready" when it takes commands. DHT, local discovery, uTP, trackers
// and web seeds are off, so the named peers are its only peers.
import { execFileSync } from 'node:child_process'
import { createRequire } from 'node:module'
import path from 'node:path'
import readline from 'node:readline'

const root = execFileSync('npm', ['root', '-g']).toString().trim()
const require = createRequire(path.join(root, 'webtorrent-cli', 'package.json'))
const WebTorrent = require('webtorrent')

const client = new WebTorrent({ dht: false, lsd: false, tracker: false, utp: false, webSeeds: false })
client.on('error', (error) => {
  console.error(`webtorrent: ${error.message}`)
  process.exit(1)
})

let current = null
let server = null

function add (dir, magnet, peers) {
  const torrent = client.add(magnet, { path: dir, announce: [] })
  current = torrent
  torrent.on('infoHash', () => peers.forEach((peer) => torrent.addPeer(peer)))
  torrent.on('error', (error) => console.error(`webtorrent: ${error.message}`))
  server = torrent.createServer()
  server.listen(0, '127.0.0.1', () => {
    const serve = () => {
      const index = torrent.files.indexOf(
        torrent.files.reduce((a, b) => (a.length > b.length ? a : b)))
      torrent.files[index].select()
      const name = encodeURIComponent(torrent.files[index].name)
      console.log(`url http://127.0.0.1:${server.address().port}/${index}/${name}`)
    }
    if (torrent.ready) serve()
    else torrent.once('ready', serve)
  })
}

function remove () {
  const done = () => console.log('removed')
  if (!current) return done()
  server.close()
  current.destroy({ destroyStore: true }, done)
  current = null
}

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const [command, ...args] = line.trim().split(/\s+/)
  if (command === 'add') add(args[0], args[1], args.slice(2))
  else if (command === 'remove') remove()
}).on('close', () => client.destroy(() => process.exit(0)))
console.log('ready')
