/* Minimal guest-side client of the Linux IPMI device: sends Get Device ID to
 * the controller through the kernel's own driver and prints the reply. Used
 * in the virtual machine to prove the path from /dev/ipmi0 to the simulated
 * controller independently of the program. Built static so the guest needs
 * no libraries for it. Exit status 0 only for completion code 0. */
#include <errno.h>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : "/dev/ipmi0";
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        fprintf(stderr, "ipmi_probe: open %s: %s\n", path, strerror(errno));
        return 2;
    }

    struct ipmi_system_interface_addr si;
    memset(&si, 0, sizeof si);
    si.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    si.channel = IPMI_BMC_CHANNEL;
    si.lun = 0;

    struct ipmi_req req;
    memset(&req, 0, sizeof req);
    req.addr = (unsigned char*)&si;
    req.addr_len = sizeof si;
    req.msgid = 7;
    req.msg.netfn = 0x06; /* App */
    req.msg.cmd = 0x01;   /* Get Device ID */
    req.msg.data = NULL;
    req.msg.data_len = 0;
    if (ioctl(fd, IPMICTL_SEND_COMMAND, &req) < 0) {
        fprintf(stderr, "ipmi_probe: send: %s\n", strerror(errno));
        close(fd);
        return 2;
    }

    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(fd, &rd);
    struct timeval tv = {15, 0};
    if (select(fd + 1, &rd, NULL, NULL, &tv) <= 0) {
        fprintf(stderr, "ipmi_probe: no reply within 15 s\n");
        close(fd);
        return 3;
    }

    unsigned char data[IPMI_MAX_MSG_LENGTH];
    struct ipmi_addr addr;
    struct ipmi_recv recv;
    memset(&recv, 0, sizeof recv);
    recv.addr = (unsigned char*)&addr;
    recv.addr_len = sizeof addr;
    recv.msg.data = data;
    recv.msg.data_len = sizeof data;
    if (ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &recv) < 0) {
        fprintf(stderr, "ipmi_probe: receive: %s\n", strerror(errno));
        close(fd);
        return 2;
    }
    close(fd);

    printf("ipmi_probe: msgid %ld netfn 0x%02x cmd 0x%02x:", recv.msgid, recv.msg.netfn,
           recv.msg.cmd);
    for (int i = 0; i < recv.msg.data_len; ++i)
        printf(" %02x", data[i]);
    printf("\n");
    return (recv.msg.data_len > 0 && data[0] == 0) ? 0 : 1;
}
