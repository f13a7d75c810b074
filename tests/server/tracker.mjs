// An HTTP BitTorrent tracker on 127.0.0.1 for the interop suite, from the
// npm package bittorrent-tracker (installed globally by scripts/install-deps).
// Prints "listening PORT" once it accepts announces and "peer ADDR:PORT" for
// each peer that announces itself; ends on SIGTERM.
import { execFileSync } from 'node:child_process'
import path from 'node:path'
import { pathToFileURL } from 'node:url'

const root = execFileSync('npm', ['root', '-g']).toString().trim()
const module = pathToFileURL(path.join(root, 'bittorrent-tracker', 'server.js'))
const { default: Server } = await import(module.href)

// Announces come again every second, so a peer that joins late is found soon.
const server = new Server({ udp: false, ws: false, http: true, stats: false, interval: 1000 })
server.on('error', (error) => {
  console.error(`tracker: ${error.message}`)
  process.exit(1)
})
server.on('start', (address) => console.log(`peer ${address}`))
server.on('listening', () => console.log(`listening ${server.http.address().port}`))
process.on('SIGTERM', () => server.close(() => process.exit(0)))
server.listen(0, '127.0.0.1')
